import QtQuick

Rectangle {
    id: row
    property string page
    property string titleKey
    property string glyph
    readonly property bool selected: shell.page === page
    width: parent.width - 18
    height: 46
    color: selected ? Qt.rgba(1, 1, 1, 0.055) : "transparent"
    Accessible.role: Accessible.Button
    Accessible.name: host.text(titleKey)
    Accessible.selected: selected

    Row {
        anchors.verticalCenter: parent.verticalCenter
        spacing: 13
        Rectangle { width: 3; height: 28; color: row.selected ? "cyan" : "transparent" }
        Text {
            width: 21
            anchors.verticalCenter: parent.verticalCenter
            text: row.glyph
            color: row.selected ? "cyan" : Qt.rgba(1, 1, 1, 0.54)
            font.pixelSize: 15; font.weight: Font.Medium
        }
        Text {
            anchors.verticalCenter: parent.verticalCenter
            text: host.text(row.titleKey)
            color: row.selected ? "white" : Qt.rgba(1, 1, 1, 0.58)
            font.pixelSize: 14
            font.weight: row.selected ? Font.DemiBold : Font.Normal
        }
    }
    MouseArea { anchors.fill: parent; onClicked: shell.page = row.page }
}
