// The application's tray icon in a real tray host on the test X server: it is embedded there, carries the
// menu, follows capture, and its menu brings the window forward and quits the program; a failure of what was
// chosen there is told beside it.
#include <QAction>
#include <QLabel>
#include <QGuiApplication>
#include <QWidget>
#include <xcb/xcb.h>
#include <QQuickWindow>
#include <QSettings>
#include <QSystemTrayIcon>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <algorithm>
#include <cstdlib>

#include <gtest/gtest.h>

#include "app/fake_host_controls.hpp"
#include "app/host_application.hpp"
#include "app/main_window.hpp"
#include "app/qt_test_support.hpp"
#include "app/tray_icons.hpp"
#include "app/tray_menu.hpp"
#include "core/localization.hpp"
#include "support/required_service.hpp"
#include "support/x11_tray_input.hpp"

namespace veltrano {
namespace {

class TrayHostTest : public ::testing::Test {
 protected:
  void SetUp() override {
    VELTRANO_REQUIRE_SERVICE("tray host", test::trayHostProblem());
    setenv("QT_QPA_PLATFORM", "xcb", 1);  // before the one QApplication of this test's process
    main_ = std::make_unique<testing::QtMainForTests>();
    settingsFolder_.setAutoRemove(true);
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, settingsFolder_.path());
    ASSERT_TRUE(testing::processEventsUntil([] { return QSystemTrayIcon::isSystemTrayAvailable(); }));
    app::HostApplication::Options options;
    options.makeControls = [this]() -> std::unique_ptr<app::HostControls> {
      auto controls = std::make_unique<testing::FakeHostControls>();
      host_ = controls.get();
      controls->onDestroyed = [this](const testing::FakeHostControls&) { host_ = nullptr; };
      return controls;
    };
    options.reduceMotion = true;
    application_ = std::make_unique<app::HostApplication>(main_->context(), std::move(options));
    ASSERT_NE(application_->trayIcon(), nullptr) << "the application did not find the tray host";
  }
  void TearDown() override {
    application_.reset();
    main_.reset();
  }

  void setHost(bool capturing, bool allPermissions) {
    app::HostSnapshot state = host_->current;
    state.isRunning = capturing;
    state.isCapturing = capturing;
    state.hasAllPermissions = allPermissions;
    host_->set(state);
  }

  QTemporaryDir settingsFolder_;
  std::unique_ptr<testing::QtMainForTests> main_;
  std::unique_ptr<app::HostApplication> application_;
  testing::FakeHostControls* host_ = nullptr;
};

TEST_F(TrayHostTest, TheIconIsEmbeddedCarriesTheMenuAndFollowsCapture) {
  QSystemTrayIcon& tray = *application_->trayIcon();
  EXPECT_TRUE(tray.isVisible());
  EXPECT_EQ(tray.contextMenu(), application_->trayMenu());
  EXPECT_EQ(tray.toolTip(), QString::fromStdString(localized("common.product_name")));
  // The host gives the icon a place of its own once it has taken it in.
  EXPECT_TRUE(testing::processEventsUntil([&] { return tray.geometry().width() > 0; }));
  const std::pair<bool, const QIcon*> cases[] = {
      {false, &app::idleTrayIcon()}, {true, &app::capturingTrayIcon()}, {false, &app::idleTrayIcon()}};
  for (const auto& [capturing, icon] : cases) {
    SCOPED_TRACE(capturing ? "capturing" : "idle");
    setHost(capturing, true);
    EXPECT_EQ(tray.icon().cacheKey(), icon->cacheKey());
  }
}

TEST_F(TrayHostTest, ClosingTheWindowKeepsTheProgramAndStartWithAPermissionMissingBringsItBack) {
  QQuickWindow* window = application_->window().window();
  ASSERT_NE(window, nullptr);
  ASSERT_TRUE(testing::processEventsUntil([&] { return window->isVisible(); }));
  window->close();
  ASSERT_TRUE(testing::processEventsUntil([&] { return !window->isVisible(); }));
  setHost(false, false);
  host_->calls.clear();
  application_->trayMenu()->start()->trigger();
  EXPECT_TRUE(window->isVisible());
  // Shown again, the window prepares the launch (the host ignores a repeat) before the start.
  EXPECT_EQ(host_->calls, (std::vector<std::string>{"prepare(new)", "start"}));

  // Closed where the user had put it, it comes back there.
  window->setPosition(140, 90);
  ASSERT_TRUE(testing::processEventsUntil([&] { return window->position() == QPoint(140, 90); }));
  window->close();
  ASSERT_TRUE(testing::processEventsUntil([&] { return !window->isVisible(); }));
  application_->bringWindowForward();
  ASSERT_TRUE(testing::processEventsUntil([&] { return window->isVisible(); }));
  QTest::qWait(100);
  EXPECT_EQ(window->position(), QPoint(140, 90));
}

TEST_F(TrayHostTest, QuitFromTheMenuStopsTheHostAndEndsTheLoop) {
  QTimer::singleShot(0, [&] {
    application_->trayMenu()->quit()->trigger();
    QTimer::singleShot(0, [&] { host_->shutdown.resume(); });
  });
  EXPECT_EQ(application_->exec(), 0);
  EXPECT_EQ(application_->trayIcon(), nullptr);
}

TEST_F(TrayHostTest, ALeftClickOnTheIconPullsTheMenuDown) {
  QSystemTrayIcon& tray = *application_->trayIcon();
  ASSERT_TRUE(testing::processEventsUntil([&] { return tray.geometry().width() > 0; }));
  // Without a window manager the window may lie over the tray.
  QQuickWindow* window = application_->window().window();
  window->close();
  ASSERT_TRUE(testing::processEventsUntil([&] { return !window->isVisible(); }));
  // The icon's own window, wherever the tray host puts it: it may still be placing it, and the click finds it.
  const QWidget* icon = nullptr;
  for (const QWidget* widget : QApplication::topLevelWidgets()) {
    if (QByteArray(widget->metaObject()->className()) == "QSystemTrayIconSys") icon = widget;
  }
  ASSERT_NE(icon, nullptr);
  ASSERT_TRUE(test::clickTrayIcon(static_cast<xcb_window_t>(icon->winId())))
      << "the tray host never showed the icon, or the X server takes no synthetic input";
  EXPECT_TRUE(testing::processEventsUntil([&] { return application_->trayMenu()->isVisible(); }));
  application_->trayMenu()->hide();
}

TEST_F(TrayHostTest, AStartFromTheMenuThatFailsIsToldBesideTheIcon) {
  QSystemTrayIcon& tray = *application_->trayIcon();
  ASSERT_TRUE(testing::processEventsUntil([&] { return tray.geometry().width() > 0; }));
  setHost(false, true);
  application_->trayMenu()->start()->trigger();
  app::HostSnapshot ended = host_->current;
  ended.lastError = "This computer could not be announced on the local network.";
  host_->metrics.logEvent(LogCategory::Error, "start-up failed");
  host_->set(ended);
  auto notice = [] {
    for (QWidget* widget : QApplication::topLevelWidgets()) {
      if (!widget->isVisible() || QByteArray(widget->metaObject()->className()) != "QBalloonTip") continue;
      for (const QLabel* label : widget->findChildren<QLabel*>()) {
        if (label->text() == "This computer could not be announced on the local network.") return widget;
      }
    }
    return static_cast<QWidget*>(nullptr);
  };
  ASSERT_TRUE(testing::processEventsUntil([&] { return notice() != nullptr; })) << "no notice beside the icon";
  // It points at the window, which says more.
  QQuickWindow* window = application_->window().window();
  window->close();
  ASSERT_TRUE(testing::processEventsUntil([&] { return !window->isVisible(); }));
  QTest::mouseClick(notice(), Qt::LeftButton, {}, QPoint(10, 10));
  EXPECT_TRUE(testing::processEventsUntil([&] { return window->isVisible(); }));
}

TEST_F(TrayHostTest, TheIconIsDrawnAgainInTheColoursOfANewPalette) {
  QSystemTrayIcon& tray = *application_->trayIcon();
  const QPalette original = QApplication::palette();
  const qint64 before = tray.icon().cacheKey();
  QPalette light = original;
  light.setColor(QPalette::WindowText, QColor(240, 240, 240));
  QApplication::setPalette(light);
  ASSERT_TRUE(testing::processEventsUntil([&] { return tray.icon().cacheKey() != before; }));
  EXPECT_EQ(tray.icon().cacheKey(), app::idleTrayIcon().cacheKey());
  // The screen's top edge, in the new text colour.
  const QColor outline = tray.icon().pixmap(36, 36).toImage().pixelColor(18, 11);
  EXPECT_GT(outline.alpha(), 100);
  EXPECT_GT(outline.red(), 200);
  QApplication::setPalette(original);
}

}  // namespace
}  // namespace veltrano
