// The texts, colours and formats of the overview and advanced pages, as pure functions of a host view.
#include <QDateTime>
#include <QUrl>

#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "app/presenters/advanced_presenter.hpp"
#include "app/presenters/overview_presenter.hpp"
#include "app/presenters/value_formats.hpp"

namespace veltrano {
namespace {

using namespace app;

std::string str(const QString& s) { return s.toStdString(); }
std::string key(const char* k) { return str(text(k)); }

class PresentersTest : public ::testing::Test {
 protected:
  static HostSnapshot host(bool running, bool starting, std::int64_t local = 0, std::int64_t remote = 0) {
    HostSnapshot v;
    v.isRunning = running;
    v.isStarting = starting;
    v.localControlClients = local;
    v.remoteConnectedClients = remote;
    return v;
  }
};

TEST_F(PresentersTest, StatusHeroAndSidebarFollowTheHostState) {
  struct Case {
    const char* name;
    HostSnapshot view;
    const char* title;
    Tint tint;
    const char* detail;
    const char* sidebar;
    const char* button;
    bool stops;
  };
  const Case cases[] = {
      {"starting wins over running", host(true, true, 3), "host.status.starting", Tint::orange,
       "host.status.starting_detail", "Port 9090", "host.action.cancel_start", true},
      {"starting", host(false, true), "host.status.starting", Tint::orange, "host.status.starting_detail",
       "host.status.starting_detail", "host.action.cancel_start", true},
      {"stopped ignores counters", host(false, false, 2, 1), "host.status.stopped", Tint::secondary,
       "host.status.stopped_detail", "host.sidebar.no_connections", "host.action.start", false},
      {"running, nobody", host(true, false), "host.status.ready", Tint::green, "host.status.waiting_detail",
       "Port 9090", "host.action.stop", true},
      {"running, one remote", host(true, false, 0, 1), "host.status.ipad_connected", Tint::cyan,
       "host.status.one_device_detail", "Port 9090", "host.action.stop", true},
      {"running, local and remote add up", host(true, false, 1, 1), "host.status.ipad_connected", Tint::cyan,
       "2 devices connected", "Port 9090", "host.action.stop", true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const Hero h = hero(c.view);
    EXPECT_EQ(str(h.status.title), key(c.title));
    EXPECT_EQ(h.status.tint, c.tint);
    EXPECT_EQ(str(h.statusDetail), key(c.detail));
    EXPECT_EQ(str(sidebarDetail(c.view)), key(c.sidebar));
    EXPECT_EQ(str(h.buttonTitle), key(c.button));
    EXPECT_EQ(h.buttonStops, c.stops);
    EXPECT_EQ(str(h.buttonSymbol), c.stops ? "stop.fill" : "play.fill");
  }
}

TEST_F(PresentersTest, MetricCardsCountDevicesDisplaysAndVideo) {
  struct Case {
    const char* name;
    HostSnapshot view;
    const char* devices;
    const char* devicesDetail;
    const char* displaysDetail;
    const char* video;
    const char* videoDetail;
  };
  auto with = [](HostSnapshot v, std::int64_t displays, bool capturing, double fps) {
    v.availableDisplays = displays;
    v.isCapturing = capturing;
    v.fps = fps;
    return v;
  };
  const Case cases[] = {
      {"stopped, nothing", with(host(false, false), 0, false, 0), "0", "host.metric.device_connected_plural",
       "host.metric.available", "\u2014", "common.stopped"},
      {"running, not capturing", with(host(true, false, 1), 1, false, 12), "1",
       "host.metric.device_connected_singular", "host.metric.available_singular", "\u2014", "common.waiting"},
      {"capturing rounds the rate", with(host(true, false, 1, 1), 3, true, 29.6), "2",
       "host.metric.device_connected_plural", "host.metric.available", "30", "common.fps"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const auto cards = metricCards(c.view, QLocale(QLocale::English));
    ASSERT_EQ(cards.size(), 3u);
    EXPECT_EQ(str(cards[0].value), c.devices);
    EXPECT_EQ(str(cards[0].detail), key(c.devicesDetail));
    EXPECT_EQ(str(cards[1].value), std::to_string(c.view.availableDisplays));
    EXPECT_EQ(str(cards[1].detail), key(c.displaysDetail));
    EXPECT_EQ(str(cards[2].value), c.video);
    EXPECT_EQ(str(cards[2].detail), key(c.videoDetail));
  }
}

TEST_F(PresentersTest, LastErrorShowsUnlessEmptyOrPlaceholder) {
  const std::pair<const char*, bool> cases[] = {
      {"\u2014", false}, {"", false}, {"host.error.no_displays", true}, {"Port in use", true}};
  for (const auto& [error, shown] : cases) {
    HostSnapshot v;
    v.lastError = error;
    EXPECT_EQ(shouldShowLastError(v), shown) << error;
  }
}

TEST_F(PresentersTest, ValueFormatsAtTheirEdges) {
  const QLocale en(QLocale::English, QLocale::UnitedStates);
  const QLocale de(QLocale::German, QLocale::Germany);
  struct Case {
    QString actual;
    const char* expected;
  };
  const Case cases[] = {
      {formatCount(0), "0"},
      {formatCount(9090), "9090"},
      {formatCount(-42), "-42"},
      {formatCount(9'000'000'000'000), "9000000000000"},
      {formatBytes(0, en), "0 bytes"},
      {formatBytes(999, en), "999 bytes"},
      {formatBytes(1500, en), "1.5 kB"},
      {formatBytes(3'400'000'000, en), "3.4 GB"},
      {formatBytes(9'200'000'000'000'000'000, en), "9.2 EB"},
      {formatBytes(1500, de), "1,5 kB"},
      {formatDecimal(29.96, 1, en), "30.0"},
      {formatDecimal(29.96, 1, de), "30,0"},
      {formatDecimalText("common.duration_ms_one_decimal", 0, en), "0.0 ms"},
      {formatDecimalText("common.duration_ms_one_decimal", 12.34, de), "12,3 ms"},
      {formatDecimalText("common.duration_ms_no_decimals", 48.6, en), "49 ms"},
      {formatPermissionStatus("granted"), "Granted"},
      {formatPermissionStatus("missing"), "Missing"},
      {formatPermissionStatus("unknown"), "Unknown"},
      {formatPermissionStatus("Granted"), "Unknown"},
      {eventCountText(0), "0 events"},
      {eventCountText(1), "1 event"},
      {eventCountText(200), "200 events"},
  };
  for (const auto& c : cases) EXPECT_EQ(str(c.actual), c.expected);
}

TEST_F(PresentersTest, TimesOfDayHaveSecondsAndNoDateOrZone) {
  // Hours of uptime later: the time of day still reads from the local clock, with seconds.
  const QDateTime local(QDate(2026, 3, 1), QTime(21, 7, 5));
  const auto at = std::chrono::system_clock::time_point(std::chrono::milliseconds(local.toMSecsSinceEpoch()));
  EXPECT_EQ(str(formatTimeOfDay(at, QLocale(QLocale::English, QLocale::UnitedStates))), "9:07:05 PM");
  EXPECT_EQ(str(formatTimeOfDay(at, QLocale(QLocale::German, QLocale::Germany))), "21:07:05");
}

TEST_F(PresentersTest, PermissionButtonsAreGrantedOnlyOnTheExactWord) {
  const std::pair<const char*, bool> cases[] = {
      {"granted", true}, {"unknown", false}, {"missing", false}, {"Granted", false}, {"granted ", false}};
  for (const auto& [status, granted] : cases) {
    SCOPED_TRACE(status);
    HostSnapshot v;
    v.screenRecordingStatus = status;
    v.accessibilityStatus = "missing";
    const auto buttons = permissionButtons(v);
    ASSERT_EQ(buttons.size(), 2u);
    EXPECT_EQ(buttons[0].granted, granted);
    EXPECT_EQ(buttons[0].tint, granted ? Tint::green : Tint::red);
    EXPECT_EQ(str(buttons[0].accessibleValue), granted ? "Granted" : "Missing");
    EXPECT_EQ(buttons[0].anchor, "com.apple.preference.security?Privacy_ScreenCapture");
    EXPECT_FALSE(buttons[1].granted);
    EXPECT_EQ(buttons[1].anchor, "com.apple.preference.security?Privacy_Accessibility");
  }
}

TEST_F(PresentersTest, MetricRowsListEveryValueInOrderWithItsFormat) {
  HostSnapshot v;
  v.isCapturing = true;
  v.fps = 29.96;
  v.encodeMs = 7.24;
  v.videoBytesSent = 2'500'000'000;
  v.bytesReceived = 0;
  v.averagePingMs = 3.4;
  v.capturedFrames = 360'000;  // hours of capture
  v.screenRecordingStatus = "granted";
  v.lastError = "";
  const auto rows = metricRows(v, QLocale(QLocale::English, QLocale::UnitedStates));
  ASSERT_EQ(rows.size(), 29u);
  const std::pair<int, const char*> expected[] = {
      {0, "\u2014"},  {1, "9090"},     {4, "Granted"}, {5, "Unknown"}, {7, "Active"},   {8, "360000"},
      {9, "30.0"},    {12, "9091"},    {16, "7.2 ms"}, {17, "2.5 GB"}, {19, "9092"},    {25, "0 bytes"},
      {26, "3 ms"},   {27, "\u2014"}, {28, ""},
  };
  for (const auto& [index, value] : expected) EXPECT_EQ(str(rows[index].value), value) << index;
  EXPECT_EQ(str(rows[2].label), key("host.connection.route"));
  EXPECT_EQ(str(rows[28].label), key("host.advanced.last_error"));
}

TEST_F(PresentersTest, EventTagsMapToTheirLabelAndColour) {
  const std::tuple<const char*, const char*, Tint> cases[] = {
      {"HOST", "HOST", Tint::secondary},
      {"NET", "host.log.tag.network", Tint::purple},
      {"CLIENT", "host.log.tag.client", Tint::purple},
      {"PERMISSION", "host.log.tag.permission", Tint::orange},
      {"SCREEN", "host.log.tag.screen", Tint::blue},
      {"CAPTURE", "host.log.tag.capture", Tint::blue},
      {"METRICS", "host.log.tag.metrics", Tint::secondary},
      {"INPUT", "host.log.tag.input", Tint::teal},
      {"ERROR", "host.log.tag.error", Tint::red},
      {"net", "net", Tint::secondary},
  };
  for (const auto& [tag, label, tint] : cases) {
    const auto shown = eventTag(tag);
    EXPECT_EQ(str(shown.label), key(label)) << tag;
    EXPECT_EQ(shown.tint, tint) << tag;
  }
}

TEST_F(PresentersTest, LinksLeadToThePrivacyAndSupportPagesOfTheConfiguredSite) {
  const auto found = app::links();
  ASSERT_EQ(found.size(), 2U);
  const QUrl privacy(found[0].url);
  const QUrl support(found[1].url);
  EXPECT_EQ(privacy.scheme(), "https");
  EXPECT_EQ(privacy.path(), "/privacy/");
  EXPECT_EQ(support.scheme(), "https");
  EXPECT_EQ(support.path(), "/support/");
  EXPECT_EQ(privacy.host(), support.host());
  EXPECT_EQ(privacy.host(), QStringLiteral(VELTRANO_WEB_HOST));
}

}  // namespace
}  // namespace veltrano
