import QtQuick
import QtQuick.Layouts

// One line of the connection panel: symbol, title, and the value, which wraps rather than overflowing.
RowLayout {
    property var row
    spacing: 13
    Symbol {
        name: row.symbol
        Layout.preferredWidth: 24
        color: Qt.rgba(0, 0.9, 1, 0.78)
        font.pixelSize: 14; font.weight: Font.Medium
    }
    Text {
        text: row.title
        color: Qt.rgba(1, 1, 1, 0.82)
        font.pixelSize: 11; font.weight: Font.Medium
    }
    Text {
        objectName: "infoValue"
        text: row.value
        Layout.leftMargin: 18
        Layout.fillWidth: true
        Layout.preferredWidth: 1
        horizontalAlignment: Text.AlignRight
        wrapMode: Text.Wrap
        color: Qt.rgba(1, 1, 1, 0.46)
        font.pixelSize: 10
    }
}
