import QtQuick

// One line of the connection panel: symbol, title, and the value, which wraps rather than overflowing. Plain
// anchoring rather than a layout, so the row's height always follows the wrapped value.
Item {
    id: info
    property var row
    implicitHeight: Math.max(title.implicitHeight, value.implicitHeight)
    Symbol {
        id: symbol
        width: 24
        anchors.verticalCenter: parent.verticalCenter
        name: info.row.symbol
        color: Qt.rgba(0, 0.9, 1, 0.78)
        font.pixelSize: 14; font.weight: Font.Medium
    }
    Text {
        font.family: typefaces.sans
        id: title
        x: symbol.width + 13
        anchors.verticalCenter: parent.verticalCenter
        text: info.row.title
        color: Qt.rgba(1, 1, 1, 0.82)
        font.pixelSize: 11; font.weight: Font.Medium
    }
    Text {
        font.family: typefaces.sans
        id: value
        objectName: "infoValue"
        readonly property real available: info.width - title.x - title.implicitWidth - 18
        anchors.right: parent.right
        anchors.verticalCenter: parent.verticalCenter
        width: Math.max(0, Math.min(implicitWidth, available))
        text: info.row.value
        horizontalAlignment: Text.AlignRight
        wrapMode: Text.Wrap
        color: Qt.rgba(1, 1, 1, 0.46)
        font.pixelSize: 10
    }
}
