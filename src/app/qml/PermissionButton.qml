import QtQuick

// A capsule in green or red that opens the permission's privacy pane; it asks for nothing itself.
Rectangle {
    id: button
    property var permission
    property int buttonIndex
    implicitWidth: label.implicitWidth + 30
    implicitHeight: 38
    radius: height / 2
    color: Qt.rgba(tint.r, tint.g, tint.b, 0.14)
    readonly property color tint: permission.color
    Accessible.role: Accessible.Button
    Accessible.name: permission.title
    Accessible.description: permission.accessibleValue
    Accessible.onPressAction: pages.openPermissionSettings(buttonIndex)
    activeFocusOnTab: true
    Keys.onSpacePressed: pages.openPermissionSettings(buttonIndex)
    Keys.onReturnPressed: pages.openPermissionSettings(buttonIndex)
    Keys.onEnterPressed: pages.openPermissionSettings(buttonIndex)
    FocusRing {}
    Row {
        id: label
        anchors.centerIn: parent
        spacing: 8
        Symbol { name: button.permission.statusSymbol; color: button.tint; font.pixelSize: 12 }
        Symbol { name: button.permission.symbol; color: button.tint; font.pixelSize: 12 }
        Text {
            font.family: typefaces.sans
            objectName: "permissionTitle"
            text: button.permission.title
            color: button.tint
            font.pixelSize: 12; font.weight: Font.DemiBold
        }
    }
    MouseArea { anchors.fill: parent; onClicked: pages.openPermissionSettings(button.buttonIndex) }
}
