// The host view model's state: what a fresh model holds, the change-notification rule of its properties, the
// lazily made command handler and the session lookup.
#include <gtest/gtest.h>

#include <functional>
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

struct NotificationCase {
  std::string name;
  // Makes two assignments of the same value, or of two values when `differentSecond` says so.
  std::function<Subscription(HostViewModel&, int& notifications)> observe;
  std::function<void(HostViewModel&, bool differentSecond)> assignTwice;
  int expectedSame;
  int expectedDifferent;
};

template <class T>
Subscription counting(const ObservableProperty<T>& property, int& notifications) {
  return property.observe([&notifications](const T&) { ++notifications; });
}

TEST(HostViewModelState, PropertiesNotifyAsTheirKindSays) {
  MainLoopForTests outerLoop;
  const Task first = Task::spawn(mainExecutor(), [](TaskToken) -> asio::awaitable<void> { co_return; });
  const std::vector<NotificationCase> cases = {
      {"client count", [](HostViewModel& m, int& n) { return counting(m.localControlClientCount, n); },
       [](HostViewModel& m, bool other) {
         m.localControlClientCount.set(3);
         m.localControlClientCount.set(other ? 4 : 3);
       },
       1, 2},
      {"display set", [](HostViewModel& m, int& n) { return counting(m.activeCaptureDisplayIDs, n); },
       [](HostViewModel& m, bool other) {
         m.activeCaptureDisplayIDs.set({1, 2});
         m.activeCaptureDisplayIDs.set(other ? std::set<std::uint32_t>{1} : std::set<std::uint32_t>{1, 2});
       },
       1, 2},
      {"task handle", [](HostViewModel& m, int& n) { return counting(m.startupTask, n); },
       [first](HostViewModel& m, bool other) {
         m.startupTask.set({first});
         m.startupTask.set(other ? TaskHandle{Task::spawn(mainExecutor(), [](TaskToken) -> asio::awaitable<void> {
                                     co_return;
                                   })}
                                 : TaskHandle{first});
       },
       1, 2},
      {"retry tasks", [](HostViewModel& m, int& n) { return counting(m.captureRetryTasks, n); },
       [first](HostViewModel& m, bool other) {
         m.captureRetryTasks.set({{1, {first}}});
         m.captureRetryTasks.set({{other ? 2u : 1u, {first}}});
       },
       1, 2},
      {"display sessions", [](HostViewModel& m, int& n) { return counting(m.displaySessions, n); },
       [](HostViewModel& m, bool other) {
         assignAndNotify(m.displaySessions, DisplaySessions{{1, DisplaySession{1, 9100, {}, {}, {}}}});
         assignAndNotify(m.displaySessions, DisplaySessions{{1, DisplaySession{1, other ? std::uint16_t{9101} : std::uint16_t{9100}, {}, {}, {}}}});
       },
       2, 2},
      {"control server", [](HostViewModel& m, int& n) { return counting(m.server, n); },
       [](HostViewModel& m, bool) {
         assignAndNotify(m.server, std::shared_ptr<HostControlServer>());
         assignAndNotify(m.server, std::shared_ptr<HostControlServer>());
       },
       2, 2},
  };
  for (const auto& testCase : cases) {
    for (const bool different : {false, true}) {
      HostHarness harness;
      int notifications = 0;
      auto subscription = testCase.observe(*harness.model, notifications);
      testCase.assignTwice(*harness.model, different);
      EXPECT_EQ(notifications, different ? testCase.expectedDifferent : testCase.expectedSame)
          << testCase.name << (different ? " (different values)" : " (equal values)");
    }
  }
}

}  // namespace
}  // namespace veltrano::test
