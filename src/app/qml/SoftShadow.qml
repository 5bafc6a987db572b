import QtQuick

// A soft shadow of its parent's rounded shape, blurred over `blur` and moved by (dx, dy); put it first among
// the parent's children so that it lies beneath them.
Image {
    property color color: "black"
    property int blur: 8
    property real shapeRadius: 0
    property real dx: 0
    property real dy: 0
    x: -2 * blur + dx
    y: -2 * blur + dy
    z: -1
    source: "image://decoration/shadow/" + Math.round(parent.width) + "/" + Math.round(parent.height) + "/"
            + shapeRadius + "/" + blur + "/" + String(color).substring(1)
    cache: false
}
