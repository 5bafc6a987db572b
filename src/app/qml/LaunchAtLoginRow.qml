import QtQuick
import QtQuick.Layouts

// The switch shows the host's value and asks the host to change it; it never flips by itself, so a refused
// change leaves it where the host says.
RowLayout {
    spacing: 13
    Symbol {
        name: "bolt.horizontal"
        Layout.preferredWidth: 24
        color: "#32d74b"
        font.pixelSize: 15; font.weight: Font.Medium
    }
    Column {
        spacing: 2
        Layout.fillWidth: true
        Text {
            font.family: typefaces.sans
            width: parent.width
            text: host.text("host.auto_start.title")
            wrapMode: Text.Wrap
            color: Qt.rgba(1, 1, 1, 0.86)
            font.pixelSize: 11; font.weight: Font.Medium
        }
        Text {
            font.family: typefaces.sans
            width: parent.width
            text: host.text("host.auto_start.description")
            wrapMode: Text.Wrap
            color: Qt.rgba(1, 1, 1, 0.40)
            font.pixelSize: 10
        }
    }
    Rectangle {
        id: toggle
        objectName: "launchAtLoginSwitch"
        readonly property bool checked: pages.launchAtLogin
        implicitWidth: 38; implicitHeight: 22
        radius: height / 2
        color: checked ? "#32d74b" : Qt.rgba(1, 1, 1, 0.18)
        Accessible.role: Accessible.CheckBox
        Accessible.name: host.text("host.auto_start.title")
        Accessible.checkable: true
        Accessible.checked: checked
        Accessible.onToggleAction: pages.setLaunchAtLogin(!checked)
        Accessible.onPressAction: pages.setLaunchAtLogin(!checked)
        activeFocusOnTab: true
        Keys.onSpacePressed: pages.setLaunchAtLogin(!checked)
        Keys.onReturnPressed: pages.setLaunchAtLogin(!checked)
        Keys.onEnterPressed: pages.setLaunchAtLogin(!checked)
        FocusRing {}
        Rectangle {
            width: 18; height: 18; radius: 9
            y: 2; x: toggle.checked ? toggle.width - width - 2 : 2
            color: "white"
        }
        MouseArea { anchors.fill: parent; onClicked: pages.setLaunchAtLogin(!toggle.checked) }
    }
}
