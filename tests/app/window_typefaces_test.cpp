// The window's typefaces: every symbol the window and the menu name is a glyph of the bundled font, and every
// text names its family, so nothing depends on the fonts a machine happens to have.
#include <QDir>
#include <QFile>
#include <QFontDatabase>
#include <QPainterPath>
#include <QQuickItem>
#include <QQuickWindow>
#include <QRawFont>
#include <QRegularExpression>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>

#include <set>

#include <gtest/gtest.h>

#include "app/fake_host_controls.hpp"
#include "app/host_bridge.hpp"
#include "app/main_window.hpp"
#include "app/qt_test_support.hpp"
#include "app/symbol_font.hpp"
#include "app/window_shell.hpp"
#include "app/window_typefaces.hpp"

namespace veltrano {
namespace {

// Every symbol the window, its pages, the onboarding and the tray menu show.
constexpr const char* namedSymbols[] = {
    "house", "waveform.path.ecg", "exclamationmark.triangle.fill", "iphone.gen3", "display.2", "display",
    "point.3.connected.trianglepath.dotted", "dial.medium", "globe", "bolt.horizontal",
    "rectangle.inset.filled.and.person.filled", "accessibility", "checkmark.circle.fill",
    "exclamationmark.circle.fill", "lock.open.fill", "arrow.right", "play.fill", "stop.fill", "checkmark",
    "checkmark.seal.fill", "arrow.clockwise", "chevron.left", "macwindow", "circle", "power"};

TEST(WindowTypefaces, EveryNamedSymbolIsADrawnGlyphOfTheBundledFont) {
  testing::qtApplication();
  QFile file(app::symbolFontResource());
  ASSERT_TRUE(file.open(QIODevice::ReadOnly));
  const QRawFont font(file.readAll(), 24);
  ASSERT_TRUE(font.isValid());
  ASSERT_FALSE(app::symbolFontFamily().isEmpty());
  EXPECT_EQ(font.familyName(), app::symbolFontFamily());
  std::set<QString> glyphs;
  for (const char* name : namedSymbols) {
    SCOPED_TRACE(name);
    const QString glyph = app::symbolGlyph(name);
    ASSERT_EQ(glyph.size(), 1);
    EXPECT_TRUE(font.supportsCharacter(glyph.at(0)));
    const auto indexes = font.glyphIndexesForString(glyph);
    ASSERT_EQ(indexes.size(), 1);
    EXPECT_NE(indexes.first(), 0U);
    EXPECT_FALSE(font.pathForGlyph(indexes.first()).isEmpty());
    glyphs.insert(glyph);
    // Drawn, the symbol leaves ink in the colour asked for.
    const QImage drawn = app::drawSymbol(name, Qt::red, 24);
    int ink = 0;
    for (int y = 0; y < drawn.height(); ++y) {
      for (int x = 0; x < drawn.width(); ++x) ink += qAlpha(drawn.pixel(x, y)) > 128 && qRed(drawn.pixel(x, y)) > 128;
    }
    EXPECT_GT(ink, 10);
  }
  // Each name has a symbol of its own, and the table knows nothing unnamed.
  EXPECT_EQ(glyphs.size(), std::size(namedSymbols));
  EXPECT_EQ(app::symbolNames().size(), std::size(namedSymbols));
  EXPECT_TRUE(app::symbolGlyph("no.such.symbol").isEmpty());
}

TEST(WindowTypefaces, EverySymbolNameInTheWindowsSourcesIsKnown) {
  testing::qtApplication();
  const QDir folder(QStringLiteral(":/veltrano/app"));
  const QStringList files = folder.entryList({QStringLiteral("*.qml")});
  ASSERT_FALSE(files.isEmpty());
  const QRegularExpression symbolName(QStringLiteral(R"re((?:\bname|\bsymbol): "([a-z0-9.]+)")re"));
  int found = 0;
  for (const QString& name : files) {
    QFile file(folder.filePath(name));
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const QString source = QString::fromUtf8(file.readAll());
    for (const auto& match : symbolName.globalMatch(source)) {
      ++found;
      EXPECT_FALSE(app::symbolGlyph(match.captured(1).toStdString()).isEmpty())
          << name.toStdString() << ": " << match.captured(1).toStdString();
    }
  }
  EXPECT_GT(found, 5);
}

class WindowTextFamilies : public ::testing::Test {
 protected:
  // Every text item of the window, in whatever page or step it shows now.
  std::vector<QQuickItem*> texts(QQuickWindow* window) {
    std::vector<QQuickItem*> result;
    const std::function<void(QQuickItem*)> visit = [&](QQuickItem* item) {
      const QString type = QString::fromLatin1(item->metaObject()->className());
      if (item->isVisible() && (type.startsWith("QQuickText_") || type == "QQuickText" || type.startsWith("QQuickTextEdit")))
        result.push_back(item);
      for (auto* child : item->childItems()) visit(child);
    };
    visit(window->contentItem());
    return result;
  }
  void expectNamedFamilies(QQuickWindow* window) {
    const std::set<QString> named{app::sansFamily, app::monoFamily, app::serifFamily, app::symbolFontFamily()};
    const auto found = texts(window);
    EXPECT_GT(found.size(), 5U);
    for (auto* text : found) {
      const QString family = text->property("font").value<QFont>().family();
      EXPECT_TRUE(named.count(family)) << family.toStdString() << " for \""
                                       << text->property("text").toString().toStdString() << "\"";
    }
  }

  testing::QtMainForTests main_;
  QTemporaryDir folder_;
  testing::FakeHostControls host_;
};

TEST_F(WindowTextFamilies, EveryTextOfEveryPageAndStepNamesItsFamily) {
  // A text that names no family would take this one.
  const QFont previous = QGuiApplication::font();
  QGuiApplication::setFont(QFont(QStringLiteral("Unnamed Family For Tests")));
  QSettings settings(folder_.filePath("settings.ini"), QSettings::IniFormat);
  app::HostBridge bridge(host_);
  app::WindowShell shell(bridge, settings, {{}, true});
  app::MainWindow window(bridge, shell, {});
  ASSERT_NE(window.window(), nullptr);
  window.bringForward();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(window.window()));

  app::HostSnapshot state;
  state.screenRecordingStatus = "missing";
  state.accessibilityStatus = "missing";
  state.showScreenRecordingRecoveryHelp = true;
  host_.set(state);
  QTest::qWait(50);
  expectNamedFamilies(window.window());

  state.screenRecordingStatus = "granted";
  state.accessibilityStatus = "granted";
  state.hasAllPermissions = true;
  state.hasResolvedPermissions = true;
  state.isRunning = true;
  settings.setValue(app::WindowShell::onboardingFlagKey, true);
  host_.set(state);
  ASSERT_TRUE(testing::processEventsUntil([&] { return shell.content() == "console"; }));
  for (const char* page : {"overview", "advanced"}) {
    SCOPED_TRACE(page);
    shell.setPage(page);
    QTest::qWait(50);
    expectNamedFamilies(window.window());
  }
  QGuiApplication::setFont(previous);
}

}  // namespace
}  // namespace veltrano
