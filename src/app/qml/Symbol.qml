import QtQuick

// A system symbol by name, drawn with a glyph of the bundled desktop font so it takes any colour in every renderer.
Text {
    property string name
    readonly property var glyphs: ({
        "lock.open.fill": "\u2295", "arrow.right": "\u2192", "play.fill": "\u25B6", "stop.fill": "\u25A0",
        "checkmark": "\u2713", "checkmark.seal.fill": "\u2714", "chevron.left": "\u2039",
        "arrow.clockwise": "\u21BB", "iphone.gen3": "\u25AF", "display.2": "\u29C9",
        "waveform.path.ecg": "\u223F", "point.3.connected.trianglepath.dotted": "\u2234",
        "dial.medium": "\u25D4", "globe": "\u2295", "display": "\u25AD", "bolt.horizontal": "\u26A1",
        "rectangle.inset.filled.and.person.filled": "\u25A3", "accessibility": "\u267F",
        "checkmark.circle.fill": "\u2714", "exclamationmark.circle.fill": "\u26A0",
        "exclamationmark.triangle.fill": "\u26A0"
    })
    text: glyphs[name] !== undefined ? glyphs[name] : ""
    font.family: "DejaVu Sans"
    horizontalAlignment: Text.AlignHCenter
    Accessible.ignored: true
}
