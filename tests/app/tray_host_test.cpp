// The application's tray icon in a real tray host on the test X server: it is embedded there, carries the
// menu, follows capture, and its menu brings the window forward and quits the program.
#include <QAction>
#include <QQuickWindow>
#include <QSettings>
#include <QSystemTrayIcon>
#include <QTemporaryDir>
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

namespace veltrano {
namespace {

std::optional<std::string> trayHostProblem() {
  if (!std::getenv("DISPLAY")) return "no X server (scripts/test-env starts one)";
  if (!std::getenv("VELTRANO_TEST_TRAY")) return "no tray host (scripts/test-env starts one)";
  return std::nullopt;
}

class TrayHostTest : public ::testing::Test {
 protected:
  void SetUp() override {
    VELTRANO_REQUIRE_SERVICE("tray host", trayHostProblem());
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
    app::HostState state = host_->current;
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
}

TEST_F(TrayHostTest, QuitFromTheMenuStopsTheHostAndEndsTheLoop) {
  QTimer::singleShot(0, [&] {
    application_->trayMenu()->quit()->trigger();
    QTimer::singleShot(0, [&] { host_->shutdown.resume(); });
  });
  EXPECT_EQ(application_->exec(), 0);
  EXPECT_EQ(application_->trayIcon(), nullptr);
}

}  // namespace
}  // namespace veltrano
