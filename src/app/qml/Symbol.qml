import QtQuick

// A named symbol drawn as a glyph of the bundled desktop font.
Text {
    property string name
    readonly property var glyphs: ({
        "lock.open.fill": "\u2295",
        "arrow.right": "\u2192",
        "play.fill": "\u25B6",
        "checkmark": "\u2713",
        "checkmark.seal.fill": "\u2714",
        "rectangle.inset.filled.and.person.filled": "\u25A3",
        "accessibility": "\u267F",
        "chevron.left": "\u2039",
        "arrow.clockwise": "\u21BB"
    })
    text: glyphs[name] !== undefined ? glyphs[name] : ""
    font.family: "DejaVu Sans"
}
