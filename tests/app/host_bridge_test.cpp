// What the window and the tray show of the host: the sidebar's status texts and the two tray icons.
#include <QColor>
#include <QImage>

#include <gtest/gtest.h>

#include "app/fake_host_controls.hpp"
#include "app/app_localized_strings.hpp"
#include "app/host_bridge.hpp"
#include "app/qt_test_support.hpp"
#include "app/tray_icons.hpp"
#include "core/localization.hpp"

namespace veltrano {
namespace {

using app::HostSnapshot;

struct StatusCase {
  const char* name;
  bool running, starting;
  std::int64_t devices;
  std::string title, detail;
};

TEST(HostBridge, StatusTitleAndSidebarDetailFollowTheHost) {
  testing::qtApplication();
  app::registerAppLocalizedStrings();
  const std::string port = localizedFormat("host.sidebar.port_format", std::int64_t{9090});
  const StatusCase cases[] = {
      {"stopped", false, false, 0, localized("host.status.stopped"), localized("host.sidebar.no_connections")},
      {"starting", false, true, 0, localized("host.status.starting"), localized("host.status.starting_detail")},
      {"starting while running", true, true, 1, localized("host.status.starting"), port},
      {"ready", true, false, 0, localized("host.status.ready"), port},
      {"a device", true, false, 1, localized("host.status.ipad_connected"), port},
  };
  testing::FakeHostControls host;
  app::HostBridge bridge(host);
  int announcements = 0;
  QObject::connect(&bridge, &app::HostBridge::stateChanged, [&] { ++announcements; });
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    HostSnapshot state;
    state.isRunning = c.running;
    state.isStarting = c.starting;
    state.localControlClients = c.devices;
    host.set(state);
    EXPECT_EQ(bridge.statusTitle().toStdString(), c.title);
    EXPECT_EQ(bridge.sidebarDetail().toStdString(), c.detail);
  }
  const int before = announcements;
  host.set(host.current);  // an unchanged state announces nothing
  EXPECT_EQ(announcements, before);
}

int greenPixels(const QImage& image) {
  int count = 0;
  for (int y = 0; y < image.height(); ++y) {
    for (int x = 0; x < image.width(); ++x) {
      const QColor c = image.pixelColor(x, y);
      if (c.alpha() > 200 && c.green() > 150 && c.red() < 120 && c.blue() < 150) ++count;
    }
  }
  return count;
}

TEST(TrayIcons, OnlyTheCapturingIconCarriesTheGreenDotAtTheBottomRight) {
  testing::qtApplication();
  const QImage idle = app::drawTrayIcon(false, 36);
  const QImage capturing = app::drawTrayIcon(true, 36);
  EXPECT_EQ(greenPixels(idle), 0);
  EXPECT_GT(greenPixels(capturing), 20);
  EXPECT_EQ(greenPixels(capturing.copy(0, 0, 24, 36)), 0) << "the dot sits in the right quarter";
  EXPECT_EQ(greenPixels(capturing.copy(0, 0, 36, 20)), 0) << "the dot sits in the bottom half";
  // Both draw the display's outline: the screen's top edge crosses the middle column at y 5.5 (of 18) from the top.
  for (const QImage* image : {&idle, &capturing}) EXPECT_GT(image->pixelColor(18, 11).alpha(), 100);
  EXPECT_FALSE(app::idleTrayIcon().isNull());
  EXPECT_FALSE(app::capturingTrayIcon().isNull());
}

}  // namespace
}  // namespace veltrano
