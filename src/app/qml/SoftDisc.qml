import QtQuick

// A filled circle whose edge fades out over `blur`, standing in for a blurred disc.
Image {
    property color color
    property int diameter
    property int blur
    source: "image://decoration/glow/" + diameter + "/" + blur + "/" + String(color).substring(1)
    cache: false
}
