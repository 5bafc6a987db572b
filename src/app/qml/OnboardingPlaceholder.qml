import QtQuick
import QtQuick.Controls

// Stands where the permission onboarding flow goes; its finish action already completes the onboarding.
Item {
    Column {
        anchors.centerIn: parent
        spacing: 18
        Text {
            anchors.horizontalCenter: parent.horizontalCenter
            text: productName
            color: "white"
            font.pixelSize: 28
            font.family: "serif"
        }
        Button {
            objectName: "finishOnboarding"
            anchors.horizontalCenter: parent.horizontalCenter
            enabled: host.hasAllPermissions
            text: host.text("host.onboarding.finish")
            onClicked: shell.finishOnboarding()
        }
    }
}
