// The main window and the tray menu as pictures: each onboarding step, the console while the host runs, and
// the menu, rendered in software with a fixed font and size, with motion off, against reference pictures.
#include <QFont>
#include <QQuickWindow>
#include <QSGRendererInterface>
#include <QSettings>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include "app/fake_host_controls.hpp"
#include "app/host_bridge.hpp"
#include "app/main_window.hpp"
#include "app/onboarding_flow.hpp"
#include "app/qt_test_support.hpp"
#include "app/reference_image.hpp"
#include "app/tray_menu.hpp"
#include "app/window_shell.hpp"

namespace veltrano {
namespace {

using app::HostState;

// Pictures settle once two renderings in a row are the same (canvases paint a frame after they appear).
QImage settledPicture(const std::function<QImage()>& render) {
  QImage previous = render();
  QImage current;
  const bool settled = testing::processEventsUntil([&] {
    current = render();
    if (current == previous) return true;
    previous = current;
    return false;
  });
  EXPECT_TRUE(settled) << "the picture kept changing";
  return current;
}

class WindowScreenshotTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    QQuickWindow::setGraphicsApi(QSGRendererInterface::Software);
    testing::qtApplication();
    QFont font(QStringLiteral("DejaVu Sans"));
    font.setPixelSize(13);
    font.setHintingPreference(QFont::PreferNoHinting);
    QApplication::setFont(font);
  }

  // The window over a host in `state`, with the onboarding flag as given; shown and rendered.
  QImage window(const HostState& state, bool onboardingCompleted) {
    host_.current = state;
    QSettings settings(folder_.filePath("settings.ini"), QSettings::IniFormat);
    settings.setValue(app::WindowShell::onboardingFlagKey, onboardingCompleted);
    app::HostBridge bridge(host_);
    app::WindowShell shell(bridge, settings, {{}, true});
    app::MainWindow window(bridge, shell, {});
    EXPECT_NE(window.window(), nullptr);
    if (!window.window()) return {};
    window.bringForward();
    EXPECT_TRUE(testing::processEventsUntil([&] { return window.window()->isExposed(); }));
    return settledPicture([&] { return window.window()->grabWindow(); });
  }

  static HostState permissions(const char* screen, const char* accessibility, bool recoveryHelp = false) {
    HostState state;
    state.screenRecordingStatus = screen;
    state.accessibilityStatus = accessibility;
    state.showScreenRecordingRecoveryHelp = recoveryHelp;
    return state;
  }

  testing::QtMainForTests main_;
  QTemporaryDir folder_;
  testing::FakeHostControls host_;
};

TEST_F(WindowScreenshotTest, EachOnboardingStepMatchesItsReference) {
  const std::pair<const char*, HostState> cases[] = {
      {"onboarding-screen-recording", permissions("missing", "missing")},
      {"onboarding-screen-recording-recovery", permissions("missing", "missing", true)},
      {"onboarding-accessibility", permissions("granted", "missing")},
      {"onboarding-ready", permissions("granted", "granted")},
  };
  for (const auto& [name, state] : cases) {
    SCOPED_TRACE(name);
    host_.preparation = Continuation<>{};
    const QImage picture = window(state, false);
    EXPECT_EQ(picture.size(), QSize(960, 650));
    EXPECT_TRUE(testing::matchesReference(picture, name));
  }
  // The tolerance still tells one step from another.
  if (!testing::updatingReferences()) {
    EXPECT_FALSE(testing::matchesReference(window(permissions("granted", "missing"), false),
                                           "onboarding-screen-recording"));
  }
}

TEST_F(WindowScreenshotTest, RunningConsoleMatchesItsReference) {
  HostState state = permissions("granted", "granted");
  state.hasResolvedPermissions = true;
  state.hasAllPermissions = true;
  state.isRunning = true;
  state.connectedDevices = 1;
  EXPECT_TRUE(testing::matchesReference(window(state, true), "console-running"));
}

TEST_F(WindowScreenshotTest, TrayMenuMatchesItsReferenceInEachState) {
  app::HostBridge bridge(host_);
  app::TrayMenu menu(bridge, {[] {}, [] {}});
  const std::pair<const char*, std::array<bool, 3>> cases[] = {
      {"tray-menu-stopped", {false, false, false}},
      {"tray-menu-capturing", {true, false, true}},
  };
  for (const auto& [name, flags] : cases) {
    SCOPED_TRACE(name);
    HostState state;
    state.isRunning = flags[0];
    state.isStarting = flags[1];
    state.isCapturing = flags[2];
    state.launchAtLogin = flags[0];
    host_.set(state);
    menu.adjustSize();
    EXPECT_TRUE(testing::matchesReference(settledPicture([&] { return menu.grab().toImage(); }), name));
  }
}

}  // namespace
}  // namespace veltrano
