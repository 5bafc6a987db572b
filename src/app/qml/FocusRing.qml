import QtQuick

// Where the keyboard is: a ring around the control that has the focus.
Rectangle {
    anchors.fill: parent
    anchors.margins: -3
    radius: (parent.radius !== undefined ? parent.radius : 0) + 3
    color: "transparent"
    border.color: Qt.rgba(0, 0.9, 1, 0.7)
    border.width: 1
    visible: parent.activeFocus
}
