#include "app/window_typefaces.hpp"

#include "app/symbol_font.hpp"

namespace veltrano::app {

QString WindowTypefaces::symbols() const { return symbolFontFamily(); }

QString WindowTypefaces::glyph(const QString& name) const { return symbolGlyph(name.toStdString()); }

}  // namespace veltrano::app
