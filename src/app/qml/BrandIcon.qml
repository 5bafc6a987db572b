import QtQuick

// The product icon: a rounded tile with the tray's display drawn large; `glossy` lays a gloss over it.
Rectangle {
    id: tile
    property int size: 50
    property bool glossy: false
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
    Image {
        visible: tile.glossy
        anchors.fill: parent
        source: tile.glossy ? "image://decoration/gloss/" + tile.size + "/" + tile.radius : ""
    }
}
