// What changes the running streams on fakes and virtual time: the remote media profile, the client counts and
// status texts, the metrics line, and the command handler's quality, keyframe and display changes.
#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>
#include <string>
#include <vector>

#include "control/input_command_handler.hpp"
#include "core/localization.hpp"
#include "host_test_support.hpp"

namespace veltrano::test {
namespace {

// A running host whose two displays capture for one control client.
struct CapturingHost : HostHarness {
  CapturingHost() {
    startRunning();
    setLocalClients(1);
  }
  std::uint64_t generation() const { return model->lifecycleGeneration().get(); }
  // Hands a command line to the model's command handler, as a control client would.
  json::Json command(const std::string& line) {
    auto reply = run(model->commandHandler()->handle(line));
    pass();
    return reply;
  }
  void selectDisplay(std::uint32_t displayID) {
    EXPECT_EQ(command(R"({"type": "setDisplay", "displayID": )" + std::to_string(displayID) + "}")["status"],
              "accepted");
  }
  std::vector<std::string> entriesOf(const std::string& prefix) const {
    std::vector<std::string> found;
    const auto matches = [&prefix](const std::string& entry) { return entry.starts_with(prefix); };
    std::copy_if(world->journal.begin(), world->journal.end(), std::back_inserter(found), matches);
    return found;
  }
};

TEST(MediaProfile, TheRoutesChooseOneProfileForEveryDisplay) {
  using enum WebRTCRoute;
  const struct {
    std::vector<WebRTCRoute> routes;
    std::string applied;
    const char* mediaPath;
    CaptureGeometry geometry;
    bool describes;
  } cases[] = {
      {{}, "0x0 48000/2", "host.media.lan", {{}, 1920, 1080}, true},
      {{lan}, "0x0 48000/2", "host.media.lan", {{}, 0, 1080}, false},
      {{lan, relay}, "1920x1080 24000/1", "host.media.remote_relay", {{}, 1920, 1080}, true},
      {{direct, lan}, "1920x1080 32000/2", "host.media.remote_direct", {{}, 1280, 720}, true},
      {{relay, direct}, "1920x1080 24000/1", "host.media.remote_relay", {{}, 1920, 0}, false},
  };
  for (const auto& c : cases) {
    CapturingHost host;
    host.world->geometries["capture9100"] = c.geometry;
    const auto before = host.model->metrics->displayInfo.get();
    host.model->updateRemoteRoutes(c.routes, host.generation());
    host.pass();
    for (const std::string capture : {"capture9100", "capture9101"}) {
      EXPECT_EQ(host.entriesOf(capture + ".apply"), std::vector<std::string>{capture + ".applyMediaProfile " + c.applied});
    }
    EXPECT_EQ(host.logged(LogCategory::HOST).back(), "Perfil de red: " + localized(c.mediaPath));
    EXPECT_EQ(host.model->metrics->displayInfo.get(),
              c.describes ? localizedFormat("host.display.profile_format", "VL-LEFT", c.geometry.width,
                                            c.geometry.height, localized(c.mediaPath))
                          : before);
    EXPECT_FALSE(host.model->mediaProfileTask().get());
  }
}

TEST(MediaProfile, ASecondChangeWaitsForTheFirstAndAFailedRestartIsRetried) {
  CapturingHost host;
  auto release = host.world->hold("capture9100.applyMediaProfile 1920x1080 24000/1");
  host.world->fail("capture9101.applyMediaProfile 1920x1080 32000/2", "stream failed");
  host.model->updateRemoteRoutes({WebRTCRoute::relay}, host.generation());
  host.pass();
  host.model->updateRemoteRoutes({WebRTCRoute::direct}, host.generation());
  host.pass();
  EXPECT_EQ(host.entriesOf("capture9100.apply").size(), 1u);
  release.resume();
  host.pass();
  EXPECT_EQ(host.entriesOf("capture9100.applyMediaProfile 1920x1080 32000/2").size(), 1u);
  EXPECT_EQ(host.entriesOf("capture9101.applyMediaProfile").size(), 2u) << "the first profile, then the second";
  EXPECT_EQ(host.model->activeCaptureDisplayIDs().get(), std::set<std::uint32_t>{1});
  EXPECT_EQ(host.world->count("video9101.resetStream"), 1u);
  EXPECT_EQ(host.logged(LogCategory::Error).back(), "Media profile restart failed for display 2: stream failed");
  host.pass(500ms);
  EXPECT_EQ(host.model->activeCaptureDisplayIDs().get(), (std::set<std::uint32_t>{1, 2}));
}

// A stop while a failed restart resets its stream leaves the stopped host's error and permissions alone.
TEST(MediaProfile, AStopDuringTheStreamResetEndsTheProfileTask) {
  CapturingHost host;
  host.world->fail("capture9101.applyMediaProfile 1920x1080 24000/1", "stream failed");
  auto release = host.world->hold("video9101.resetStream");
  host.model->updateRemoteRoutes({WebRTCRoute::relay}, host.generation());
  host.pass();
  host.model->stopServer(false);
  const auto permissionLines = host.logged(LogCategory::PERMISSION).size();
  release.resume();
  host.pass();
  EXPECT_EQ(host.model->metrics->lastError.get(), MetricsStore::placeholder);
  EXPECT_EQ(host.logged(LogCategory::PERMISSION).size(), permissionLines);
  EXPECT_TRUE(host.isIdle());
}

TEST(ClientCounts, EachClientThatComesOrGoesIsReportedOnceAndOldCallbacksAreIgnored) {
  CapturingHost host;
  host.analytics.clear();
  for (const std::int64_t count : {2, 2, 0, -1}) host.setLocalClients(count);
  host.model->updateRemoteClientCount(3, host.generation() - 1);
  using enum AnalyticsEvent;
  EXPECT_EQ(host.analytics, (std::vector<AnalyticsRecord>{{server_client_connected, "local"},
                                                          {server_client_disconnected, "local"},
                                                          {server_client_disconnected, "local"}}));
  EXPECT_EQ(host.model->localControlClientCount().get(), 0);
  EXPECT_EQ(host.model->remoteConnectedClientCount().get(), 0);
  host.model->updateRemoteAccessStatus("Connected", host.generation());
  host.model->updateRemoteAccessStatus("Old", host.generation() - 1);
  EXPECT_EQ(host.model->remoteAccessStatus().get(), "Connected");
}

TEST(ClientCounts, TheRouteSummaryAndTheMediaPathFollowTheClients) {
  using enum WebRTCRoute;
  const struct {
    std::int64_t localClients;
    std::vector<WebRTCRoute> routes;
    std::vector<const char*> summary;
    const char* mediaPath;
  } cases[] = {
      {0, {}, {"host.route.no_clients"}, "host.media.lan"},
      {1, {relay, relay}, {"host.route.lan_tcp", "host.route.relay"}, "host.media.remote_relay"},
      {0, {direct, lan}, {"host.route.lan_p2p", "host.route.direct_p2p"}, "host.media.remote_direct"},
  };
  for (const auto& c : cases) {
    CapturingHost host;
    host.model->metrics->connectedClients.set(c.localClients);
    host.model->updateRemoteRoutes(c.routes, host.generation());
    std::string summary = localized(c.summary.front());
    for (auto key = c.summary.begin() + 1; key != c.summary.end(); ++key) summary += " + " + localized(*key);
    EXPECT_EQ(host.model->connectionRouteSummary(), summary);
    EXPECT_EQ(host.model->mediaPathDescription(), localized(c.mediaPath));
  }
}

TEST(MetricsLine, IsWrittenEveryThreeSecondsWhileTheHostRuns) {
  CapturingHost host;
  host.model->metrics->fps.set(29.5);
  host.model->metrics->capturedFrames.set(120);
  const auto line = localizedFormat("host.log.metrics_format", 29.5, std::int64_t{120}, std::int64_t{1});
  host.pass(2999ms);
  EXPECT_TRUE(host.logged(LogCategory::METRICS).empty());
  host.pass(3001ms);
  EXPECT_EQ(host.logged(LogCategory::METRICS), (std::vector<std::string>{line, line}));
  EXPECT_EQ(host.model->metrics->events().get().back().message, line);
  host.model->stopServer(false);
  host.pass(9s);
  EXPECT_EQ(host.logged(LogCategory::METRICS).size(), 2u);
  EXPECT_FALSE(host.model->metricsTask().get());
}

TEST(QualityChanges, ReachEveryDisplayInTheOrderTheyWereAsked) {
  CapturingHost host;
  auto release = host.world->hold("encoder9100.setBitRate 1000999");
  const auto handler = host.model->commandHandler();
  EXPECT_EQ(host.model->commandHandler(), handler) << "made once";
  host.command(R"({"type": "setQuality", "bitrate": 1000999, "maxFps": 90})");
  host.command(R"({"type": "setQuality", "bitrate": 2000000, "maxFps": 8})");
  release.resume();
  host.pass();
  for (const std::string display : {"9100", "9101"}) {
    const auto frameRates = host.entriesOf("encoder" + display + ".setFrameRate");
    const auto paces = host.entriesOf("capture" + display + ".setPacing");
    EXPECT_EQ(frameRates, (std::vector<std::string>{"encoder" + display + ".setFrameRate 90",
                                                    "encoder" + display + ".setFrameRate 8"}));
    EXPECT_EQ(paces, (std::vector<std::string>{"capture" + display + ".setPacing 60",
                                               "capture" + display + ".setPacing 10"}));
  }
  const auto lines = host.logged(LogCategory::HOST);
  EXPECT_EQ(lines.at(lines.size() - 2), "Calidad aplicada globalmente: 1000kbps @ 90fps") << "kilobits rounded down";
  host.command(R"({"type": "keyframe"})");
  EXPECT_EQ(host.entriesOf("encoder9101.requestKeyframe").size(), 1u);
  EXPECT_EQ(host.entriesOf("encoder9100.requestKeyframe").size(), 1u);
}

// Input maps into the display's bounds in display units; the capture's output size, once known, is the host size
// shown.
TEST(DisplayChanges, InputFollowsTheDisplayBoundsAndTheHostSizeTheCapture) {
  const struct {
    const char* name;
    DisplayFrame bounds;
    CaptureGeometry geometry;
    DisplayFrame input;
    std::int64_t hostWidth, hostHeight;
  } cases[] = {
      {"capped output", {960, 0, 3840, 2160}, {{960, 0, 3840, 2160}, 1920, 1080}, {960, 0, 3840, 2160}, 1920, 1080},
      {"vanished display", {}, {{}, 1280, 720}, {0, 0, 960, 1080}, 1280, 720},
      {"size not known yet: the listed size", {}, {{960, 0, 960, 1080}, 0, 0}, {960, 0, 960, 1080}, 800, 600},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    CapturingHost host;
    host.world->bounds[1] = {0, 0, 960, 1080};
    host.model->metrics->activeDisplayID.set(1);
    host.model->metrics->availableDisplays.set({{1, "Left", 960, 1080, 9100}, {2, "Right", 800, 600, 9101}});
    host.selectDisplay(1);
    host.world->bounds[2] = c.bounds;
    host.world->geometries["capture9101"] = c.geometry;
    const auto keyframes = host.world->count("encoder9101.requestKeyframe");
    host.selectDisplay(2);
    const auto& input = *host.model->inputController;
    EXPECT_EQ(input.displayOrigin(), (Point{c.input.x, c.input.y}));
    EXPECT_EQ(input.displaySize(), (Size{c.input.width, c.input.height}));
    EXPECT_EQ(host.model->metrics->hostWidth.get(), c.hostWidth);
    EXPECT_EQ(host.model->metrics->hostHeight.get(), c.hostHeight);
    EXPECT_EQ(host.model->metrics->videoPort.get(), 9101);
    EXPECT_EQ(host.world->count("encoder9101.requestKeyframe"), keyframes + 1);
  }
  CapturingHost host;
  host.model->metrics->availableDisplays.set({{7, "Spare", 800, 600, 0}});
  host.selectDisplay(7);
  EXPECT_EQ(host.logged(LogCategory::HOST).back(), "onDisplayChange: no hay sesión para id=7");
}

TEST(LaunchAtLoginOfTheHost, TheModelDrivesItsLoginItem) {
  HostHarness harness;
  harness.model->setLaunchAtLogin(true);
  EXPECT_TRUE(harness.model->launchAtLogin().get());
  EXPECT_EQ(harness.loginCalls.registers, 1);
  EXPECT_EQ(harness.analytics.back(), (AnalyticsRecord{AnalyticsEvent::server_launch_at_login, "enabled"}));
}

}  // namespace
}  // namespace veltrano::test
