// The host view model's state: what a fresh model holds, the change-notification rule of its properties, the
// lazily made command handler and the session lookup.
#include <gtest/gtest.h>

#include <string>

#include "control/input_command_handler.hpp"
#include "core/localization.hpp"
#include "host_test_support.hpp"

namespace veltrano::test {
namespace {

TEST(HostViewModelState, AFreshModelStartsNothingAndQueriesNoPermission) {
  HostHarness harness;
  auto& model = *harness.model;
  harness.pass(10s);
  EXPECT_TRUE(harness.world->journal.empty());
  EXPECT_TRUE(harness.logged(LogCategory::PERMISSION).empty());
  EXPECT_TRUE(harness.analytics.empty());
  EXPECT_EQ(model.permissions, harness.permissions);
  EXPECT_EQ(model.lifecycleGeneration.get(), 0u);
  EXPECT_EQ(model.localControlClientCount.get(), 0);
  EXPECT_EQ(model.remoteConnectedClientCount.get(), 0);
  EXPECT_FALSE(model.isStarting.get());
  EXPECT_FALSE(model.startupTask.get());
  EXPECT_FALSE(model.shutdownTask.get());
  EXPECT_FALSE(model.permissionPollTask.get());
  EXPECT_FALSE(model.server.get());
  EXPECT_FALSE(model.bonjour.get());
  EXPECT_TRUE(model.displaySessions.get().empty());
  EXPECT_FALSE(model.displaySession(1));
  EXPECT_EQ(model.remoteAccessStatus.get(), localized("host.remote.stopped"));
  EXPECT_NE(model.remoteAccessStatus.get(), "host.remote.stopped") << "the key has a text";
  EXPECT_FALSE(model.launchAtLogin.get());
  EXPECT_EQ(model.metrics->screenRecordingStatus.get(), "unknown");
}

TEST(HostViewModelState, TheCommandHandlerIsMadeOnceOnFirstUse) {
  HostHarness harness;
  const auto first = harness.model->commandHandler();
  ASSERT_TRUE(first);
  EXPECT_EQ(harness.model->commandHandler(), first);
}

template <class T>
Subscription counting(const ObservableProperty<T>& property, int& notifications) {
  return property.observe([&notifications](const T&) { ++notifications; });
}

TEST(HostViewModelState, EqualValuesNotifyNobodyButServersAndSessionsNotifyOnEveryAssignment) {
  HostHarness harness;
  auto& model = *harness.model;
  const auto noop = [](TaskToken) -> asio::awaitable<void> { co_return; };
  const TaskHandle first{Task::spawn(mainExecutor(), noop)};
  const TaskHandle second{Task::spawn(mainExecutor(), noop)};
  int count = 0, ids = 0, task = 0, retries = 0, sessions = 0, control = 0;
  const Subscription subscriptions[] = {counting(model.localControlClientCount, count),
                                        counting(model.activeCaptureDisplayIDs, ids),
                                        counting(model.startupTask, task),
                                        counting(model.captureRetryTasks, retries),
                                        counting(model.displaySessions, sessions),
                                        counting(model.server, control)};
  for (int round = 0; round < 2; ++round) {
    model.localControlClientCount.set(3);
    model.activeCaptureDisplayIDs.set({1, 2});
    model.startupTask.set(first);
    model.captureRetryTasks.set({{1, first}});
    assignAndNotify(model.displaySessions, DisplaySessions{{1, DisplaySession{1, 9100, {}, {}, {}}}});
    assignAndNotify(model.server, std::shared_ptr<HostControlServer>());
  }
  model.startupTask.set(second);
  model.captureRetryTasks.set({{1, second}});
  EXPECT_EQ((std::vector<int>{count, ids, task, retries, sessions, control}), (std::vector<int>{1, 1, 2, 2, 2, 2}))
      << "count, display set, task handle, retry tasks, sessions, control server";
}

}  // namespace
}  // namespace veltrano::test
