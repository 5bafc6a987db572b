#pragma once
// The window's and the menu's symbols, by their system names, drawn with the icon font bundled with the program
// (Material Icons, Apache License 2.0: fonts/MaterialIcons-LICENSE.txt), so no symbol depends on what fonts a
// machine happens to have.
#include <QColor>
#include <QIcon>
#include <QImage>
#include <QString>

#include <string_view>
#include <vector>

namespace veltrano::app {

// The family of the bundled font; loads it on first use. Main thread.
QString symbolFontFamily();
// The font's character for the symbol `name`; empty for a name the table does not know.
QString symbolGlyph(std::string_view name);
// Every name the table knows.
std::vector<std::string_view> symbolNames();
// The bundled font file, as a resource path.
QString symbolFontResource();

// The symbol drawn in `color` on a transparent square of `pixels`.
QImage drawSymbol(std::string_view name, const QColor& color, int pixels);
// The symbol as an icon for menu items, at the usual menu sizes.
QIcon symbolIcon(std::string_view name, const QColor& color);

}  // namespace veltrano::app
