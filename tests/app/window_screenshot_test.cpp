// The main window and the tray menu as pictures against reference pictures: each onboarding step, the states of
// the console a user sees at the smallest and a large window size, and the menu.
#include <gtest/gtest.h>

#include <array>
#include <cstdlib>
#include <ctime>

#include "app/onboarding_flow.hpp"
#include "app/tray_menu.hpp"
#include "app/window_pictures.hpp"

namespace veltrano {
namespace {

using app::HostSnapshot;

class WindowScreenshotTest : public testing::WindowPictures {};

TEST_F(WindowScreenshotTest, EachOnboardingStepMatchesItsReference) {
  const std::pair<const char*, HostSnapshot> cases[] = {
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
  running(1, true);
  EXPECT_TRUE(testing::matchesReference(window(true), "console-running"));
}

TEST_F(WindowScreenshotTest, EachConsoleStateMatchesItsReferenceAtTheSmallestAndALargeSize) {
  const std::pair<const char*, std::function<void()>> cases[] = {
      {"checking", [&] { host_.current = HostSnapshot{}; }},
      {"starting",
       [&] {
         host_.current = resolved();
         host_.current.isStarting = true;
       }},
      {"running-idle", [&] { running(0, false); }},
      {"running-two-tablets", [&] { running(2, true); }},
      {"stopped-error",
       [&] {
         host_.current = resolved();
         host_.current.lastError =
             "This computer could not be announced on the local network: the DNS-SD service (avahi-daemon) is not "
             "running or refused the name.";
       }},
  };
  for (const auto& [name, arrange] : cases) {
    for (const QSize size : {QSize(960, 650), QSize(1600, 1000)}) {
      const std::string picture = std::string("console-") + name + "-" + std::to_string(size.width());
      SCOPED_TRACE(picture);
      host_.current = {};
      arrange();
      const QImage shown = window(true, size);
      EXPECT_EQ(shown.size(), size);
      EXPECT_TRUE(testing::matchesReference(shown, picture));
    }
  }
}

TEST_F(WindowScreenshotTest, AdvancedPageWithItsLogFilledAndAPermissionMissingMatchesItsReference) {
  // The times of day as this picture shows them, wherever it is taken.
  setenv("TZ", "UTC", 1);
  tzset();
  const auto at = MetricsStore::Clock::from_time_t(1'800'000'000);
  const std::pair<const char*, const char*> lines[] = {
      {"HOST", "Host started on port 9090"},
      {"NET", "Bonjour ready: name=\"Desk\" port=9090"},
      {"CLIENT", "Tablet connected from 192.168.1.31"},
      {"CAPTURE", "Capturing display 1 at 1920x1080"},
      {"INPUT", "left click"},
      {"PERMISSION", "Accessibility is missing: pointer and keyboard commands are refused"},
      {"ERROR", "Video client 192.168.1.31 left: connection reset by peer"},
  };
  for (std::size_t i = 0; i < std::size(lines); ++i) {
    host_.presetEvents.push_back({Uuid::random(), at + std::chrono::seconds(7 * i), lines[i].first, lines[i].second});
  }
  for (const QSize size : {QSize(960, 650), QSize(1600, 1000)}) {
    SCOPED_TRACE(size.width());
    running(1, true);
    host_.current.accessibilityStatus = "missing";
    host_.current.hasAllPermissions = false;
    EXPECT_TRUE(testing::matchesReference(window(true, size, "advanced"),
                                          "console-advanced-" + std::to_string(size.width())));
  }
}

TEST_F(WindowScreenshotTest, TrayMenuMatchesItsReferenceInEachState) {
  app::HostBridge bridge(host_);
  app::TrayMenu menu(bridge, {[] {}, [] {}});
  const std::pair<const char*, std::array<bool, 3>> cases[] = {
      {"tray-menu-stopped", {false, false, false}},
      {"tray-menu-running", {true, false, false}},
      {"tray-menu-capturing", {true, false, true}},
  };
  for (const auto& [name, flags] : cases) {
    SCOPED_TRACE(name);
    HostSnapshot state;
    state.isRunning = flags[0];
    state.isStarting = flags[1];
    state.isCapturing = flags[2];
    state.launchAtLogin = flags[0];
    host_.set(state);
    menu.adjustSize();
    EXPECT_TRUE(testing::matchesReference(testing::settledPicture([&] { return menu.grab().toImage(); }), name));
  }
}

}  // namespace
}  // namespace veltrano
