#include "app/symbol_font.hpp"

#include <QFont>
#include <QFontDatabase>
#include <QPainter>
#include <QPixmap>
#include <QResource>

#include <algorithm>
#include <array>
#include <utility>

namespace veltrano::app {

namespace {

// System symbol names and the bundled font's characters that stand for them.
constexpr std::array<std::pair<std::string_view, char16_t>, 25> symbols{{
    {"house", 0xe88a},                                    // home
    {"waveform.path.ecg", 0xeaa2},                        // monitor_heart
    {"iphone.gen3", 0xe325},                              // phone_iphone
    {"display.2", 0xe30c},                                // desktop_windows
    {"display", 0xef5b},                                  // monitor
    {"point.3.connected.trianglepath.dotted", 0xe9f4},    // hub
    {"dial.medium", 0xe9e4},                              // speed
    {"globe", 0xe80b},                                    // public
    {"bolt.horizontal", 0xea0b},                          // bolt
    {"rectangle.inset.filled.and.person.filled", 0xeaf0}, // co_present
    {"accessibility", 0xe84e},                            // accessibility
    {"checkmark.circle.fill", 0xe86c},                    // check_circle
    {"exclamationmark.circle.fill", 0xe000},              // error
    {"exclamationmark.triangle.fill", 0xe002},            // warning
    {"lock.open.fill", 0xe898},                           // lock_open
    {"arrow.right", 0xe5c8},                              // arrow_forward
    {"play.fill", 0xe037},                                // play_arrow
    {"stop.fill", 0xe047},                                // stop
    {"checkmark", 0xe5ca},                                // check
    {"checkmark.seal.fill", 0xef76},                      // verified
    {"arrow.clockwise", 0xe5d5},                          // refresh
    {"chevron.left", 0xe5cb},                             // chevron_left
    {"macwindow", 0xe069},                                // web_asset
    {"circle", 0xe836},                                   // radio_button_unchecked
    {"power", 0xe8ac},                                    // power_settings_new
}};

}  // namespace

QString symbolFontResource() { return QStringLiteral(":/veltrano/app/fonts/MaterialIcons-Regular.ttf"); }

QString symbolFontFamily() {
  static const QString family = [] {
    // Straight from the program's resource data: given the file's name, Qt keeps a copy of the font for its database
    // and reads another one for the font engine.
    const int id = QFontDatabase::addApplicationFontFromData(QResource(symbolFontResource()).uncompressedData());
    const QStringList families = QFontDatabase::applicationFontFamilies(id);
    return families.isEmpty() ? QString() : families.first();
  }();
  return family;
}

QString symbolGlyph(std::string_view name) {
  const auto found = std::find_if(symbols.begin(), symbols.end(), [&](const auto& entry) { return entry.first == name; });
  if (found == symbols.end()) return {};
  return QString(QChar(found->second));
}

std::vector<std::string_view> symbolNames() {
  std::vector<std::string_view> names;
  for (const auto& [name, glyph] : symbols) names.push_back(name);
  return names;
}

QImage drawSymbol(std::string_view name, const QColor& color, int pixels) {
  QImage image(pixels, pixels, QImage::Format_ARGB32_Premultiplied);
  image.fill(Qt::transparent);
  QFont font(symbolFontFamily());
  font.setPixelSize(pixels);
  font.setHintingPreference(QFont::PreferNoHinting);
  QPainter painter(&image);
  painter.setRenderHint(QPainter::TextAntialiasing);
  painter.setFont(font);
  painter.setPen(color);
  painter.drawText(image.rect(), Qt::AlignCenter, symbolGlyph(name));
  return image;
}

QIcon symbolIcon(std::string_view name, const QColor& color) {
  QIcon icon;
  for (int pixels : {16, 22, 24, 32, 48}) icon.addPixmap(QPixmap::fromImage(drawSymbol(name, color, pixels)));
  return icon;
}

}  // namespace veltrano::app
