import QtQuick

Row {
    id: consoleRow
    Sidebar { id: sidebar; height: consoleRow.height }
    Rectangle { width: 1; height: consoleRow.height; color: Qt.rgba(1, 1, 1, 0.07) }
    Flickable {
        width: consoleRow.width - sidebar.width - 1
        height: consoleRow.height
        contentHeight: page.implicitHeight
        clip: true
        Text {
            id: page
            objectName: "page"
            x: 42; y: 34
            text: host.text(shell.page === "advanced" ? "host.advanced.title" : "host.overview.title")
            color: "white"
            font.pixelSize: shell.page === "advanced" ? 36 : 40
            font.family: "serif"
            font.weight: Font.DemiBold
        }
    }
}
