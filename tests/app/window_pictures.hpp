#pragma once
// Pictures of the main window over a fake host, rendered in software with motion off: the states a user sees,
// at a given size and page.
#include <QApplication>
#include <QFont>
#include <QQuickWindow>
#include <QSGRendererInterface>
#include <QSettings>
#include <QTemporaryDir>

#include <functional>

#include <gtest/gtest.h>

#include "app/fake_host_controls.hpp"
#include "app/host_bridge.hpp"
#include "app/main_window.hpp"
#include "app/qt_test_support.hpp"
#include "app/reference_image.hpp"
#include "app/window_shell.hpp"

namespace veltrano::testing {

// Pictures settle once two renderings in a row, with the events between them handled, are the same (canvases
// paint a frame after they appear; rendering lays items out, which may post more work).
inline QImage settledPicture(const std::function<QImage()>& render) {
  QImage previous = render();
  QImage current;
  const bool settled = processEventsUntil([&] {
    QCoreApplication::processEvents();
    current = render();
    if (current == previous) return true;
    previous = current;
    return false;
  });
  EXPECT_TRUE(settled) << "the picture kept changing";
  return current;
}

class WindowPictures : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    QQuickWindow::setGraphicsApi(QSGRendererInterface::Software);
    qtApplication();
    QFont font(QStringLiteral("DejaVu Sans"));
    font.setPixelSize(13);
    font.setHintingPreference(QFont::PreferNoHinting);
    QApplication::setFont(font);
  }

  // The window over the host as it is now, with the onboarding flag as given, at `size`, on `page`.
  QImage window(bool onboardingCompleted, QSize size = {960, 650}, const char* page = "overview") {
    return window(host_, onboardingCompleted, size, page);
  }
  // The same over any host; `act` runs in the shown window before the picture is taken.
  QImage window(app::HostControls& host, bool onboardingCompleted, QSize size = {960, 650},
                const char* page = "overview", const std::function<void(QQuickWindow&)>& act = {}) {
    QSettings settings(folder_.filePath("settings.ini"), QSettings::IniFormat);
    settings.setValue(app::WindowShell::onboardingFlagKey, onboardingCompleted);
    app::HostBridge bridge(host);
    app::WindowShell shell(bridge, settings, {{}, true});
    shell.setPage(page);
    app::MainWindow window(bridge, shell, {});
    EXPECT_NE(window.window(), nullptr);
    if (!window.window()) return {};
    window.bringForward();
    window.window()->resize(size);
    EXPECT_TRUE(processEventsUntil([&] { return window.window()->isExposed() && window.window()->size() == size; }));
    if (act) act(*window.window());
    return settledPicture([&] { return window.window()->grabWindow(); });
  }
  QImage window(const app::HostSnapshot& state, bool onboardingCompleted) {
    host_.current = state;
    return window(onboardingCompleted);
  }

  static app::HostSnapshot permissions(const char* screen, const char* accessibility, bool recoveryHelp = false) {
    app::HostSnapshot state;
    state.screenRecordingStatus = screen;
    state.accessibilityStatus = accessibility;
    state.showScreenRecordingRecoveryHelp = recoveryHelp;
    return state;
  }
  // Both permissions granted and known.
  static app::HostSnapshot resolved() {
    app::HostSnapshot state = permissions("granted", "granted");
    state.hasResolvedPermissions = true;
    state.hasAllPermissions = true;
    return state;
  }
  // A host that has started: its address and its display are known.
  void running(std::int64_t devices, bool capturing) {
    app::HostSnapshot state = resolved();
    state.localIP = "192.168.1.20";
    state.availableDisplays = 1;
    state.displayInfo =
        capturing ? "Display 1 1920x1080 (Local network)" : "Display 1 1920x1080 (waiting for a client)";
    state.fps = capturing ? 29.6 : 0;
    state.isRunning = true;
    state.isCapturing = capturing;
    state.localControlClients = devices;
    host_.current = state;
  }

  QtMainForTests main_;
  QTemporaryDir folder_;
  FakeHostControls host_;
};

}  // namespace veltrano::testing
