import QtQuick

Rectangle {
    id: row
    objectName: "nav-" + page
    property string page
    property string titleKey
    property string symbol
    readonly property bool selected: shell.page === page
    function activate() { shell.page = row.page }
    width: parent.width - 18
    height: 46
    color: selected ? Qt.rgba(1, 1, 1, 0.055) : "transparent"
    activeFocusOnTab: true
    Keys.onSpacePressed: activate()
    Keys.onReturnPressed: activate()
    Keys.onEnterPressed: activate()
    FocusRing {}
    Accessible.role: Accessible.Button
    Accessible.name: host.text(titleKey)
    Accessible.selected: selected
    Accessible.onPressAction: activate()

    Row {
        anchors.verticalCenter: parent.verticalCenter
        spacing: 13
        Rectangle { width: 3; height: 28; color: row.selected ? "cyan" : "transparent" }
        Symbol {
            width: 21
            anchors.verticalCenter: parent.verticalCenter
            name: row.symbol
            color: row.selected ? "cyan" : Qt.rgba(1, 1, 1, 0.54)
            font.pixelSize: 15; font.weight: Font.Medium
        }
        Text {
            font.family: typefaces.sans
            anchors.verticalCenter: parent.verticalCenter
            text: host.text(row.titleKey)
            color: row.selected ? "white" : Qt.rgba(1, 1, 1, 0.58)
            font.pixelSize: 14
            font.weight: row.selected ? Font.DemiBold : Font.Normal
        }
    }
    MouseArea { anchors.fill: parent; onClicked: row.activate() }
}
