import QtQuick

// A system symbol by name, drawn with the bundled symbol font so it takes any colour in every renderer.
Text {
    property string name
    text: typefaces.glyph(name)
    font.family: typefaces.symbols
    horizontalAlignment: Text.AlignHCenter
    verticalAlignment: Text.AlignVCenter
    Accessible.ignored: true
}
