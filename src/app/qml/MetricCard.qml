import QtQuick
import QtQuick.Layouts

RowLayout {
    property var card
    spacing: 15
    Symbol {
        name: card.symbol
        Layout.preferredWidth: 28
        color: card.accent
        font.pixelSize: 20; font.weight: Font.Light
    }
    ColumnLayout {
        spacing: 3
        Layout.fillWidth: true
        Text {
            objectName: "cardTitle"
            Layout.fillWidth: true
            text: card.title.toUpperCase()
            elide: Text.ElideRight
            color: Qt.rgba(1, 1, 1, 0.38)
            font.family: typefaces.mono; font.pixelSize: 9; font.weight: Font.DemiBold; font.letterSpacing: 1.2
        }
        RowLayout {
            spacing: 8
            Layout.fillWidth: true
            Text {
                objectName: "cardValue"
                text: card.value
                color: "white"
                font.family: typefaces.serif; font.pixelSize: 28; font.weight: Font.DemiBold
                Layout.alignment: Qt.AlignBaseline
            }
            Text {
                font.family: typefaces.sans
                objectName: "cardDetail"
                text: card.detail
                elide: Text.ElideRight
                Layout.fillWidth: true
                color: Qt.rgba(1, 1, 1, 0.48)
                font.pixelSize: 10
                Layout.alignment: Qt.AlignBaseline
            }
        }
    }
}
