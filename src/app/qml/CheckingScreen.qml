import QtQuick
import QtQuick.Controls

Item {
    Accessible.role: Accessible.StaticText
    Accessible.name: host.text("host.permissions.checking")

    Column {
        anchors.centerIn: parent
        spacing: 16
        BrandIcon { anchors.horizontalCenter: parent.horizontalCenter; size: 58; radius: 13 }
        // A small cyan spinner; it holds still when the desktop asks for less motion.
        Image {
            objectName: "spinner"
            anchors.horizontalCenter: parent.horizontalCenter
            source: "image://decoration/arc/18/ff00ffff"
            RotationAnimator on rotation {
                running: !shell.reduceMotion
                from: 0; to: 360; duration: 900
                loops: Animation.Infinite
            }
        }
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
