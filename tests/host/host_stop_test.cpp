// Stopping the host on fakes: the model is idle at once, the servers close in their order in the shutdown task,
// a stop during any wait of the start-up leaves nothing open, and one bundle is closed only once.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/localization.hpp"
#include "host_test_support.hpp"

namespace veltrano::test {
namespace {

TEST(HostStop, ARunningHostIsIdleAtOnceAndClosesInOrderLater) {
  HostHarness harness;
  harness.startRunning();
  auto release = harness.world->hold("control.stop");
  harness.model->stopServer(false);

  EXPECT_TRUE(harness.isIdle());
  EXPECT_EQ(harness.model->remoteAccessStatus().get(), localized("host.remote.stopped"));
  EXPECT_TRUE(harness.model->shutdownTask().get());
  EXPECT_EQ(harness.countOf(AnalyticsEvent::server_stopped), 1u);
  harness.pass();
  EXPECT_EQ(harness.world->journal.back(), "control.stop") << "the rest waits for the control server";

  release.resume();
  harness.pass();
  EXPECT_EQ(harness.journalFrom("bonjour.stopPublication"), [] {
    auto expected = twoDisplayTeardown();
    // Signaling has stopped and the servers that remote access fed are handed back before they are closed.
    expected.insert(expected.begin(), {"bonjour.stopPublication", "signaling.stop", "video9100.external 0",
                                       "video9101.external 0", "audio.external 0"});
    return expected;
  }());
  EXPECT_EQ(harness.logged(LogCategory::HOST),
            (std::vector<std::string>{"Starting Quorvantile (generation 1)", "Quorvantile ready (generation 1)",
                                      "Stopping Quorvantile (next generation 2)", "Resources closed (generation 2)"}));
  EXPECT_FALSE(harness.world->anyListening());
}

TEST(HostStop, KeepAutostartDecidesWhetherAPendingStartSurvives) {
  HostHarness harness;
  // A prepared launch whose permission is missing arms the automatic start.
  harness.permissions->screenRecording = false;
  harness.run(harness.model->prepareForLaunch(true));
  harness.model->stopServer(true);
  EXPECT_TRUE(harness.model->pendingAutomaticStart());
  harness.model->stopServer(false);
  EXPECT_FALSE(harness.model->pendingAutomaticStart());
  EXPECT_EQ(harness.model->lifecycleGeneration().get(), 0u) << "an idle host has nothing to stop";
}

TEST(HostStop, AStopDuringAnyWaitOfTheStartLeavesNothingOpen) {
  const struct {
    const char* name;
    std::string held;     // the step the start-up waits in, released after the stop
    std::string failing;  // a step that fails, so that the start-up waits to retry it
    bool afterARun;       // the host ran and is stopping: the start waits for its shutdown
  } waits[] = {
      {"previous shutdown", "control.stop", "", true},
      {"display list retry", "", "lister.availableDisplays", false},
      {"video server start", "video9101.start", "", false},
      {"bonjour publication", "bonjour.start", "", false},
  };
  for (const auto& wait : waits) {
    SCOPED_TRACE(wait.name);
    HostHarness harness;
    if (wait.afterARun) harness.startRunning();
    Continuation<> release;
    if (!wait.held.empty()) release = harness.world->hold(wait.held);
    if (!wait.failing.empty()) harness.world->fail(wait.failing, "no X server");
    if (wait.afterARun) harness.model->stopServer(false);
    harness.resolvePermissions();
    harness.model->startServer();
    harness.pass();
    const auto builtBefore = harness.world->count("make file 9093");
    const auto errorBefore = harness.model->metrics->lastError.get();
    harness.model->stopServer(false);
    release.resume();
    harness.pass(10s);

    EXPECT_TRUE(harness.isIdle());
    EXPECT_FALSE(harness.model->startupResources().get());
    EXPECT_EQ(harness.world->count("make file 9093"), builtBefore) << "the stopped start built nothing more";
    EXPECT_EQ(harness.model->metrics->lastError.get(), errorBefore);
    EXPECT_EQ(harness.countOf(AnalyticsEvent::server_start_failed), 0u);
    EXPECT_FALSE(harness.world->anyListening());
    EXPECT_EQ(harness.world->count("control.stop"), builtBefore) << "each built bundle is closed once";
  }
}

// A stop during the Bonjour wait: the stop's shutdown and the stale failure path both close the bundle. The
// bundle closes once, and a new start builds nothing until that closing has finished.
TEST(HostStop, ABundleIsClosedOnceAndANewStartWaitsForIt) {
  HostHarness harness;
  harness.world->hold("bonjour.start");
  auto releaseStop = harness.world->hold("control.stop");
  harness.resolvePermissions();
  harness.model->startServer();
  harness.pass();
  ASSERT_EQ(harness.world->journal.back(), "bonjour.start Desk 9090");

  harness.model->stopServer(false);
  harness.pass();
  harness.model->startServer();
  harness.pass(10s);
  EXPECT_EQ(harness.world->count("make file 9093"), 1u) << "no new server while the old control port is open";
  EXPECT_EQ(harness.world->count("control.stop"), 1u);
  EXPECT_EQ(harness.world->count("audio.stop"), 0u);

  harness.world->steps.erase("bonjour.start");
  releaseStop.resume();
  harness.pass(10s);
  for (const auto& step : twoDisplayTeardown()) EXPECT_EQ(harness.world->count(step), 1u) << step;
  const auto host = harness.logged(LogCategory::HOST);
  EXPECT_EQ(std::count(host.begin(), host.end(), "Resources closed (generation 1)"), 1);
  EXPECT_EQ(harness.world->count("make file 9093"), 2u) << "the new start goes on once the bundle is closed";
}

}  // namespace
}  // namespace veltrano::test
