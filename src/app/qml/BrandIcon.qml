import QtQuick

// The product icon: a rounded tile with the tray's display drawn large.
Rectangle {
    property int size: 50
    width: size
    height: size
    gradient: Gradient {
        GradientStop { position: 0.0; color: "#1fb6d6" }
        GradientStop { position: 1.0; color: "#0a4fae" }
    }
    Image {
        anchors.centerIn: parent
        width: parent.size * 0.7
        height: width
        source: "image://trayicon/idle"
        sourceSize.width: width
        sourceSize.height: height
    }
}
