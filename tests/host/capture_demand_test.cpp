// Capture on demand on fakes and virtual time: it follows the clients, stops 2 s after the last one left, retries a
// failed display on its schedule, and keeps the active set truthful when a capture stops by itself.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "core/localization.hpp"
#include "host_test_support.hpp"

namespace veltrano::test {
namespace {

const std::vector<std::string> stopBothCaptures = {"capture9100.stopCapture", "encoder9100.stopSession",
    "video9100.resetStream", "capture9101.stopCapture", "encoder9101.stopSession", "video9101.resetStream"};

TEST(CaptureDemand, CaptureStartsWithTheFirstClientAndStopsTwoSecondsAfterTheLast) {
  const struct {
    const char* name;
    std::function<void(HostHarness&, std::int64_t)> setClients;
  } kinds[] = {
      {"local", [](HostHarness& h, std::int64_t count) { h.setLocalClients(count); }},
      {"remote", [](HostHarness& h, std::int64_t n) {
         h.model->updateRemoteClientCount(n, h.model->lifecycleGeneration().get());
         h.pass();
       }},
  };
  for (const auto& kind : kinds) {
    SCOPED_TRACE(kind.name);
    HostHarness harness;
    harness.startRunning();
    auto& model = *harness.model;
    auto mark = harness.world->journal.size();
    kind.setClients(harness, 1);
    EXPECT_EQ(harness.journalFrom("capture9100.startCapture"),
              (std::vector<std::string>{"capture9100.startCapture", "capture9101.startCapture"}));
    EXPECT_TRUE(model.wantsCapture().get());
    EXPECT_EQ(model.activeCaptureDisplayIDs().get(), (std::set<std::uint32_t>{1, 2}));
    EXPECT_TRUE(model.isCaptureActive().get() && model.metrics->isCapturing.get());
    EXPECT_EQ(harness.logged(LogCategory::CAPTURE).back(), "Captura activada bajo demanda (2 monitores)");

    // A client that returns within the 2 s keeps capture running without a new transition.
    kind.setClients(harness, 0);
    harness.pass(1500ms);
    kind.setClients(harness, 1);
    harness.pass(5s);
    EXPECT_EQ(harness.world->journal.size(), mark + 2);

    kind.setClients(harness, 0);
    harness.pass(1999ms);
    EXPECT_EQ(harness.world->journal.size(), mark + 2);
    harness.pass(1ms);
    EXPECT_EQ(harness.journalFrom("capture9100.stopCapture"), stopBothCaptures);
    EXPECT_FALSE(model.isCaptureActive().get() || model.metrics->isCapturing.get());
    EXPECT_EQ(model.metrics->fps.get(), 0);
    EXPECT_EQ(model.metrics->displayInfo.get(), localizedFormat("host.display.waiting_format", "VL-LEFT",
                                                                std::int64_t{960}, std::int64_t{1080}));
    EXPECT_EQ(harness.logged(LogCategory::CAPTURE).back(), "Captura en pausa: sin dispositivos conectados");
  }
}

TEST(CaptureDemand, AFailedDisplayIsRetriedOnItsScheduleWhileTheOtherCapturesUntilDemandEnds) {
  HostHarness harness;
  harness.startRunning();
  harness.world->fail("capture9101.startCapture", "stream failed");
  const auto started = harness.clock.now();
  harness.setLocalClients(1);
  auto& model = *harness.model;
  EXPECT_EQ(model.activeCaptureDisplayIDs().get(), std::set<std::uint32_t>{1});
  EXPECT_EQ(harness.countOf(AnalyticsEvent::server_start_failed), 1u);
  EXPECT_EQ(model.metrics->lastError.get(), localizedFormat("host.error.capture_format", std::int64_t{2}, "stream failed"));

  std::vector<Clock::Duration> attempts;
  for (std::size_t seen = 1; harness.clock.now() - started < 50s; harness.pass(100ms)) {
    if (harness.world->count("capture9101.startCapture") == seen) continue;
    seen = harness.world->count("capture9101.startCapture");
    attempts.push_back(std::chrono::duration_cast<std::chrono::milliseconds>(harness.clock.now() - started));
  }
  EXPECT_EQ(attempts, (std::vector<Clock::Duration>{500ms, 1500ms, 3500ms, 8500ms, 18500ms, 33500ms, 48500ms}));
  const auto errors = harness.logged(LogCategory::Error);
  EXPECT_EQ(errors.back(), "capture retry 7 failed for display 2: stream failed");
  EXPECT_FALSE(model.captureTransitionTask().get());
  EXPECT_FALSE(model.captureTransitionInProgress().get());

  harness.world->steps.clear();
  harness.pass(15s);
  EXPECT_EQ(model.activeCaptureDisplayIDs().get(), (std::set<std::uint32_t>{1, 2}));
  EXPECT_TRUE(model.captureRetryTasks().get().empty());
  EXPECT_EQ(harness.world->count("encoder9101.requestKeyframe"), 1u);
  EXPECT_EQ(harness.logged(LogCategory::CAPTURE).back(), "Captura recuperada display=2 intento=8");

  // A retry whose start succeeds after the last client left undoes it.
  harness.stopCaptureUnexpectedly("capture9101", 2);
  auto release = harness.world->hold("capture9101.startCapture");
  harness.pass(500ms);
  harness.setLocalClients(0);
  release.resume();
  harness.pass();
  EXPECT_EQ(harness.journalFrom("capture9101.stopCapture"),
            (std::vector<std::string>{"capture9101.stopCapture", "encoder9101.stopSession", "video9101.resetStream"}));
  EXPECT_TRUE(model.captureRetryTasks().get().empty());
  EXPECT_EQ(model.activeCaptureDisplayIDs().get(), std::set<std::uint32_t>{1});
}

TEST(CaptureDemand, AnUnexpectedStopRetriesOnlyWithBothPermissions) {
  const struct {
    const char* name;
    bool screenRecording;
    std::size_t permissionLines;  // the quiet checks and the refresh
    bool retried;
  } cases[] = {
      {"granted", true, 4, true},
      {"screen recording revoked", false, 4 + 2, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    HostHarness harness;
    harness.run(harness.model->prepareForLaunch(true));
    harness.pass();
    auto& model = *harness.model;
    ASSERT_TRUE(model.metrics->isRunning.get());
    harness.setLocalClients(1);
    const auto lines = harness.logged(LogCategory::PERMISSION).size();
    harness.permissions->screenRecording = c.screenRecording;
    const Task handling = harness.stopCaptureUnexpectedly("capture9101", 2);
    harness.pass();
    EXPECT_EQ(model.activeCaptureDisplayIDs().get(), std::set<std::uint32_t>{1});
    EXPECT_EQ(model.metrics->lastError.get(), localizedFormat("host.error.capture_format", std::int64_t{2}, "gone"));
    EXPECT_EQ(harness.analytics.back(), (AnalyticsRecord{AnalyticsEvent::server_start_failed, "capture_unexpected_stop"}));
    EXPECT_EQ(handling.isFinished(), c.screenRecording) << "the settle waits hold the capture service's report";
    harness.pass(2100ms);
    EXPECT_TRUE(handling.isFinished());
    EXPECT_EQ(harness.logged(LogCategory::PERMISSION).size() - lines, c.permissionLines);
    EXPECT_EQ(model.metrics->isRunning.get(), c.retried);
    EXPECT_EQ(model.requiresPermissionGate().get(), !c.retried);
    EXPECT_EQ(harness.world->count("capture9101.startCapture"), c.retried ? 2u : 1u);
  }
}

// A display that stops while the start transition still visits the others is not recorded as capturing.
TEST(CaptureDemand, AStopDuringTheStartTransitionLeavesTheDisplayOutOfTheActiveSet) {
  HostHarness harness;
  harness.startRunning();
  auto release = harness.world->hold("capture9101.startCapture");
  harness.setLocalClients(1);
  harness.stopCaptureUnexpectedly("capture9100", 1);
  harness.pass();
  release.resume();
  harness.pass();
  EXPECT_EQ(harness.model->activeCaptureDisplayIDs().get(), std::set<std::uint32_t>{2});
  harness.pass(500ms);
  EXPECT_EQ(harness.model->activeCaptureDisplayIDs().get(), (std::set<std::uint32_t>{1, 2}));
  EXPECT_EQ(harness.world->count("capture9100.startCapture"), 2u);
}

// A retry scheduled after a transition restarted the display would restart a running capture.
TEST(CaptureDemand, NoRetryStartsACaptureThatAlreadyRuns) {
  HostHarness harness;
  harness.startRunning();
  harness.setLocalClients(1);
  harness.permissions->screenRecording = false;  // the handlers wait for it to settle
  harness.stopCaptureUnexpectedly("capture9100", 1);
  harness.stopCaptureUnexpectedly("capture9101", 2);
  harness.pass();
  harness.setLocalClients(2);  // nothing captures: a start transition
  EXPECT_EQ(harness.model->activeCaptureDisplayIDs().get(), (std::set<std::uint32_t>{1, 2}));
  harness.permissions->screenRecording = true;
  harness.pass(10s);
  EXPECT_EQ(harness.world->count("capture9100.startCapture"), 2u);
  EXPECT_EQ(harness.world->count("capture9101.startCapture"), 2u);
  EXPECT_TRUE(harness.model->captureRetryTasks().get().empty());
}

// A display whose retry ended during a short gap in demand is retried when demand returns.
TEST(CaptureDemand, ADisplayWhoseRetryEndedInADemandGapIsRetriedWhenDemandReturns) {
  HostHarness harness;
  harness.startRunning();
  harness.setLocalClients(1);
  harness.stopCaptureUnexpectedly("capture9101", 2);
  harness.pass();
  harness.setLocalClients(0);
  harness.pass(600ms);  // the retry wakes without demand and ends
  EXPECT_TRUE(harness.model->captureRetryTasks().get().empty());
  harness.setLocalClients(1);
  harness.pass(1s);
  EXPECT_EQ(harness.model->activeCaptureDisplayIDs().get(), (std::set<std::uint32_t>{1, 2}));
  EXPECT_EQ(harness.world->count("capture9101.startCapture"), 2u);
}

}  // namespace
}  // namespace veltrano::test
