import QtQuick
import QtQuick.Controls

Item {
    Accessible.role: Accessible.StaticText
    Accessible.name: host.text("host.permissions.checking")

    Column {
        anchors.centerIn: parent
        spacing: 16
        BrandIcon { anchors.horizontalCenter: parent.horizontalCenter; size: 58; radius: 13 }
        BusyIndicator { anchors.horizontalCenter: parent.horizontalCenter; running: true; width: 20; height: 20; palette.dark: "cyan" }
        Text {
            font.family: typefaces.sans
            anchors.horizontalCenter: parent.horizontalCenter
            text: host.text("host.permissions.checking")
            color: Qt.rgba(1, 1, 1, 0.7)
            font.pixelSize: 12
            font.weight: Font.Medium
        }
    }
}
