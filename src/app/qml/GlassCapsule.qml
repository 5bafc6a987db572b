import QtQuick

// The small controls' glass: a translucent capsule with a light rim.
Rectangle {
    radius: height / 2
    color: Qt.rgba(1, 1, 1, 0.07)
    border.color: Qt.rgba(1, 1, 1, 0.14)
    border.width: 1
}
