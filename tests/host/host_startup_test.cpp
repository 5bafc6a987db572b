// Starting the host on fakes and virtual time: the order of every build and start, the failure of each stage
// with its reason and its teardown, the display-list retries, the guards, and a stop during each wait.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "core/localization.hpp"
#include "host_test_support.hpp"

namespace veltrano::test {
namespace {

TEST(HostStartup, DisplaysGetPortsByIdentifierAndEverythingStartsInOrder) {
  HostHarness harness;
  harness.services->displays = {{5, "E", 800, 600, 0}, {1, "A", 1024, 768, 0}, {3, "C", 640, 480, 0}};
  harness.services->mainDisplay = 3;
  harness.startRunning();

  std::vector<std::string> expected = {"make lister sound", "lister.availableDisplays", "make file 9093",
                                       "make control 9090", "make audio 9092"};
  const std::vector<std::string> ports = {"9100", "9101", "9102"};
  for (const auto& port : ports) {
    const auto sound = port == "9101" ? " sound" : "";
    expected.insert(expected.end(), {"make encoder" + port, "make video " + port, "make capture" + port + sound});
  }
  for (const auto& port : ports) {
    expected.insert(expected.end(), {"encoder" + port + ".setServer video" + port,
                                     "video" + port + ".setEncoder encoder" + port, "capture" + port + ".setStopHandler"});
  }
  expected.insert(expected.end(), {"file.start", "audio.start"});
  for (const auto& port : ports) expected.push_back("video" + port + ".start");
  expected.insert(expected.end(), {"control.start", "make bonjour", "bonjour.start Desk 9090"});
  // Remote access once everything local runs, under the computer's name.
  // Each media update (one for the audio server, one per attached display) gives every server attached so far
  // its remote count, 0 before any tablet.
  expected.insert(expected.end(),
                  {"make remote", "audio.external 0", "remote.identity", "signaling.create Desk", "signaling.start"});
  for (std::size_t attached = 1; attached <= ports.size(); ++attached) {
    for (std::size_t i = 0; i < attached; ++i) expected.push_back("video" + ports[i] + ".external 0");
    expected.push_back("audio.external 0");
  }
  EXPECT_EQ(harness.world->journal, expected);

  auto& model = *harness.model;
  EXPECT_EQ(model.displaySession(5)->videoPort, 9102);
  EXPECT_EQ(model.displaySession(1)->videoPort, 9100);
  EXPECT_EQ(model.displaySession(3)->videoPort, 9101);
  EXPECT_TRUE(model.metrics->isRunning.get());
  EXPECT_FALSE(model.isStarting().get());
  EXPECT_FALSE(model.startupTask().get());
  EXPECT_FALSE(model.startupResources().get());
  EXPECT_EQ(model.metrics->activeDisplayID.get(), 3u);
  EXPECT_EQ(model.metrics->videoPort.get(), 9101);
  EXPECT_EQ(model.metrics->availableDisplays.get(),
            (std::vector<DisplayInfo>{{1, "A", 1024, 768, 9100}, {3, "C", 640, 480, 9101}, {5, "E", 800, 600, 9102}}));
  EXPECT_EQ(harness.countOf(AnalyticsEvent::server_started), 1u);
  const auto hostLines = harness.logged(LogCategory::HOST);
  EXPECT_EQ(hostLines,
            (std::vector<std::string>{"Starting Quorvantile (generation 1)", "Quorvantile ready (generation 1)"}));
}

TEST(HostStartup, WithoutTheMainDisplayTheSmallestIdentifierIsActive) {
  HostHarness harness;
  harness.services->displays = {{7, "B", 800, 600, 0}, {4, "A", 800, 600, 0}};
  harness.services->mainDisplay = 99;
  harness.startRunning();
  EXPECT_EQ(harness.model->metrics->activeDisplayID.get(), 4u);
  EXPECT_EQ(harness.world->count("make capture9100 sound"), 1u);
  EXPECT_EQ(harness.world->count("make capture9101"), 1u);
}

struct StageFailure {
  std::string name;
  std::function<void(HostHarness&)> arrange;
  std::string reason;
  std::function<std::string()> description;
  bool builtBundle;
};

template <class Error>
std::exception_ptr errorOf(const Error& error) {
  return std::make_exception_ptr(error);
}

TEST(HostStartup, EachFailingStageReportsItsReasonAndClosesWhatWasBuilt) {
  const std::vector<StageFailure> cases = {
      {"file", [](HostHarness& h) { h.world->fail("file.start", "address in use"); }, "file_server",
       [] { return localizedFormat("host.error.server_format", "address in use"); }, true},
      {"audio", [](HostHarness& h) { h.world->fail("audio.start", "address in use"); }, "audio_server",
       [] { return localizedFormat("host.error.audio_server_format", "address in use"); }, true},
      {"video on 9101", [](HostHarness& h) { h.world->fail("video9101.start", "address in use"); }, "video_server",
       [] { return localizedFormat("host.error.video_server_format", std::int64_t{9101}, "address in use"); }, true},
      {"control", [](HostHarness& h) { h.world->fail("control.start", "address in use"); }, "control_server",
       [] { return localizedFormat("host.error.server_format", "address in use"); }, true},
      {"bonjour time-out",
       [](HostHarness& h) {
         h.world->steps["bonjour.start"].error = errorOf(BonjourPublisher::PublishError::timedOut());
       },
       "bonjour",
       [] { return localizedFormat("host.error.bonjour_format", BonjourPublisher::PublishError::timedOut().what()); },
       true},
      {"bonjour refusal",
       [](HostHarness& h) {
         h.world->steps["bonjour.start"].error = errorOf(BonjourPublisher::PublishError::rejected({}));
       },
       "bonjour",
       [] { return localizedFormat("host.error.bonjour_format", BonjourPublisher::PublishError::rejected({}).what()); },
       true},
      {"no displays", [](HostHarness& h) { h.services->displays.clear(); }, "no_displays",
       [] { return localized("host.error.no_displays"); }, false},
      {"display list", [](HostHarness& h) { h.world->fail("lister.availableDisplays", "no X server"); },
       "screen_capture", [] { return localizedFormat("host.error.screen_capture_format", "no X server"); }, false},
  };
  for (const auto& testCase : cases) {
    SCOPED_TRACE(testCase.name);
    HostHarness harness;
    testCase.arrange(harness);
    harness.resolvePermissions();
    harness.model->startServer();
    harness.pass(10s);

    auto& model = *harness.model;
    const auto description = testCase.description();
    EXPECT_NE(description.find_first_not_of(' '), std::string::npos);
    EXPECT_EQ(model.metrics->lastError.get(), description);
    // The reason does not say again what failed.
    const auto colon = description.find(": ");
    if (colon != std::string::npos) {
      EXPECT_EQ(description.find(description.substr(0, colon), colon), std::string::npos) << description;
    }
    ASSERT_EQ(harness.countOf(AnalyticsEvent::server_start_failed), 1u);
    EXPECT_EQ(harness.analytics.back(), (AnalyticsRecord{AnalyticsEvent::server_start_failed, testCase.reason}));
    EXPECT_EQ(harness.logged(LogCategory::Error), std::vector<std::string>{"server startup: " + description});
    EXPECT_TRUE(harness.isIdle());
    EXPECT_FALSE(model.startupResources().get());
    EXPECT_FALSE(model.bonjour().get());
    EXPECT_FALSE(model.remoteCoordinator()) << "remote access is made only when a start commits";
    EXPECT_EQ(harness.world->count("make remote"), 0u);
    EXPECT_FALSE(harness.world->anyListening()) << "every port that opened is closed again";
    if (testCase.builtBundle) {
      const auto teardown = twoDisplayTeardown();
      const auto tail = std::vector<std::string>(harness.world->journal.end() - static_cast<long>(teardown.size()),
                                                 harness.world->journal.end());
      EXPECT_EQ(tail, teardown);
      EXPECT_EQ(harness.logged(LogCategory::HOST).back(), "Resources closed (generation 1)");
    } else {
      EXPECT_EQ(harness.world->count("make file 9093"), 0u);
      EXPECT_EQ(harness.world->count("control.stop"), 0u);
    }
  }
}

TEST(HostStartup, TheDisplayListIsRetriedAfterGrowingWaits) {
  std::vector<Clock::Duration> attempts;
  Clock::TimePoint started;
  VirtualClock* clock = nullptr;
  HostHarness harness([&](std::shared_ptr<MetricsStore>) -> asio::awaitable<std::vector<DisplayInfo>> {
    attempts.push_back(clock->now() - started);
    throw std::runtime_error("no X server");
    co_return std::vector<DisplayInfo>{};
  });
  clock = &harness.clock;
  started = harness.clock.now();
  harness.resolvePermissions();
  harness.model->startServer();
  for (int step = 0; step < 100; ++step) harness.pass(50ms);

  EXPECT_EQ(attempts, (std::vector<Clock::Duration>{0ms, 250ms, 750ms, 1750ms, 3750ms}));
  EXPECT_EQ(harness.analytics.back(), (AnalyticsRecord{AnalyticsEvent::server_start_failed, "screen_capture"}));
  EXPECT_FALSE(harness.model->requiresPermissionGate().get());
}

TEST(HostStartup, WithoutScreenRecordingTheDisplayListFailsAtOnceAndRaisesTheGate) {
  HostHarness harness;
  harness.world->fail("lister.availableDisplays", "no X server");
  harness.resolvePermissions();
  harness.permissions->screenRecording = false;
  harness.model->startServer();
  harness.pass();

  EXPECT_EQ(harness.world->count("lister.availableDisplays"), 1u);
  auto lines = harness.logged(LogCategory::PERMISSION);
  EXPECT_EQ(std::count(lines.begin(), lines.end(), "Screen Recording: missing"), 2);
  auto& model = *harness.model;
  EXPECT_TRUE(model.requiresPermissionGate().get());
  EXPECT_TRUE(model.showScreenRecordingRecoveryHelp().get());
  EXPECT_TRUE(model.hasRequestedScreenRecording());
  EXPECT_EQ(model.metrics->screenRecordingStatus.get(), "missing");
  EXPECT_TRUE(model.permissionPollTask().get());
  EXPECT_EQ(harness.analytics.back(), (AnalyticsRecord{AnalyticsEvent::server_start_failed, "screen_capture"}));
}

TEST(HostStartup, GuardsLeaveTheModelAlone) {
  HostHarness harness;
  // Permissions not granted: the error, the event and the log line, and nothing else.
  harness.model->startServer();
  EXPECT_EQ(harness.model->metrics->lastError.get(), localized("host.error.permissions_missing"));
  EXPECT_EQ(harness.analytics, (std::vector<AnalyticsRecord>{{AnalyticsEvent::server_start_failed, "permissions"}}));
  EXPECT_EQ(harness.logged(LogCategory::Error), std::vector<std::string>{"start blocked: missing permissions"});
  EXPECT_EQ(harness.model->lifecycleGeneration().get(), 0u);
  EXPECT_FALSE(harness.model->startupTask().get());

  // While starting and while running: no second start.
  harness.resolvePermissions();
  auto release = harness.world->hold("control.start");
  harness.model->startServer();
  harness.pass();
  harness.model->startServer();
  EXPECT_EQ(harness.model->lifecycleGeneration().get(), 1u);
  release.resume();
  harness.pass();
  ASSERT_TRUE(harness.model->metrics->isRunning.get());
  harness.model->startServer();
  harness.pass();
  EXPECT_EQ(harness.model->lifecycleGeneration().get(), 1u);
  EXPECT_EQ(harness.world->count("make file 9093"), 1u);

  // While a failed start still closes its bundle, its start-up task stays set.
  harness.model->stopServer(false);
  harness.pass();
  harness.world->steps.clear();
  harness.world->fail("audio.start", "address in use");
  auto holdStop = harness.world->hold("control.stop");
  harness.model->startServer();
  harness.pass();
  ASSERT_TRUE(harness.model->startupTask().get());
  harness.model->startServer();
  EXPECT_EQ(harness.model->lifecycleGeneration().get(), 3u);
  holdStop.resume();
  harness.pass();
  EXPECT_FALSE(harness.model->startupTask().get());
}

}  // namespace
}  // namespace veltrano::test
