import QtQuick

// A status dot with a soft glow of its colour, painted with a radial gradient (no shader effect).
Item {
    id: dot
    property int size: 8
    property int glow: 8
    property color color: "white"
    property color glowColor: Qt.rgba(color.r, color.g, color.b, 0.8)
    implicitWidth: size; implicitHeight: size
    Canvas {
        id: halo
        anchors.centerIn: parent
        width: dot.size + 2 * dot.glow; height: width
        renderStrategy: Canvas.Cooperative
        onPaint: {
            var ctx = getContext("2d");
            ctx.reset();
            var r = width / 2;
            var g = ctx.createRadialGradient(r, r, dot.size / 2, r, r, r);
            var c = dot.glowColor;
            g.addColorStop(0, c);
            g.addColorStop(1, Qt.rgba(c.r, c.g, c.b, 0));
            ctx.fillStyle = g;
            ctx.fillRect(0, 0, width, height);
        }
        Connections { target: dot; function onGlowColorChanged() { halo.requestPaint() } }
    }
    Rectangle {
        anchors.fill: parent
        radius: width / 2
        color: dot.color
    }
}
