import QtQuick

Text {
    property string key
    text: host.text(key).toUpperCase()
    color: Qt.rgba(0, 0.9, 1, 0.72)
    font.family: typefaces.mono; font.pixelSize: 11; font.weight: Font.DemiBold; font.letterSpacing: 1.6
}
