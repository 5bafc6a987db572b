// The permission gate on fakes and virtual time: statuses and their analytics, the automatic start, a host that
// loses a permission stops and comes back by itself, and the poll that ends by itself.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "host_test_support.hpp"

namespace veltrano::test {
namespace {

TEST(PermissionGate, NothingIsAskedUntilTheFirstRefreshWhichReportsBothPermissionsAndLaterOnlyChanges) {
  HostHarness harness;
  harness.pass(10s);
  EXPECT_TRUE(harness.logged(LogCategory::PERMISSION).empty()) << "a fresh model asks nothing";
  EXPECT_FALSE(harness.model->permissionPollTask().get());
  harness.permissions->trusted = false;  // event posting alone counts as Accessibility
  harness.resolvePermissions();
  harness.resolvePermissions();
  EXPECT_EQ(harness.analytics,
            (std::vector<AnalyticsRecord>{{AnalyticsEvent::server_permission_granted, "screen_recording"},
                                          {AnalyticsEvent::server_permission_granted, "accessibility"}}));
  EXPECT_TRUE(harness.model->hasAllPermissions());
  EXPECT_TRUE(harness.model->hasResolvedPermissions().get());
  EXPECT_TRUE(harness.world->journal.empty()) << "an unprepared refresh starts nothing";
}

TEST(PermissionGate, APreparedHostStartsOnceStopsWithoutAPermissionAndComesBackWhenItReturns) {
  HostHarness harness;
  harness.run(harness.model->prepareForLaunch(true));
  harness.pass();
  ASSERT_TRUE(harness.model->metrics->isRunning.get());
  EXPECT_FALSE(harness.model->pendingAutomaticStart());
  harness.run(harness.model->prepareForLaunch(true));
  harness.resolvePermissions();
  harness.pass();
  EXPECT_EQ(harness.world->count("make file 9093"), 1u);

  harness.permissions->screenRecording = false;
  harness.resolvePermissions();
  auto& model = *harness.model;
  EXPECT_FALSE(model.metrics->isRunning.get());
  EXPECT_TRUE(model.requiresPermissionGate().get());
  EXPECT_TRUE(model.pendingAutomaticStart());
  EXPECT_TRUE(model.permissionPollTask().get());
  harness.pass(2s);
  EXPECT_EQ(harness.world->count("make file 9093"), 1u) << "no start while the permission is missing";

  harness.permissions->screenRecording = true;
  harness.pass(500ms);
  EXPECT_TRUE(model.metrics->isRunning.get());
  EXPECT_FALSE(model.requiresPermissionGate().get());
  EXPECT_FALSE(model.permissionPollTask().get());
  EXPECT_EQ(harness.world->count("make file 9093"), 2u);
}

TEST(PermissionGate, WithoutACompletedOnboardingTheHostWaitsForIt) {
  HostHarness harness;
  harness.permissions->postEvents = harness.permissions->trusted = false;
  harness.run(harness.model->prepareForLaunch(false));
  EXPECT_FALSE(harness.model->requiresPermissionGate().get());
  EXPECT_TRUE(harness.model->permissionPollTask().get());
  harness.permissions->trusted = true;
  harness.pass(500ms);
  EXPECT_TRUE(harness.world->journal.empty());
  harness.model->completePermissionOnboarding();
  harness.pass();
  EXPECT_TRUE(harness.model->metrics->isRunning.get());
}

// A poll started before the launch was prepared ends by itself once both are granted. When a permission goes
// missing again after the preparation, a new poll must run and start the host when the permission returns.
TEST(PermissionGate, APollThatEndedByItselfDoesNotBlockTheNextOne) {
  HostHarness harness;
  harness.permissions->screenRecording = false;
  harness.model->requestScreenRecordingPermission();
  EXPECT_EQ(harness.permissions->screenRecordingRequests, 1);
  EXPECT_TRUE(harness.model->showScreenRecordingRecoveryHelp().get());
  ASSERT_TRUE(harness.model->permissionPollTask().get());
  harness.permissions->screenRecording = true;
  harness.pass(1s);
  EXPECT_FALSE(harness.model->permissionPollTask().get()) << "the poll gave up its handle";
  EXPECT_FALSE(harness.model->showScreenRecordingRecoveryHelp().get());

  harness.permissions->screenRecording = false;
  harness.run(harness.model->prepareForLaunch(true));
  EXPECT_TRUE(harness.model->requiresPermissionGate().get());
  harness.permissions->screenRecording = true;
  harness.pass(500ms);
  EXPECT_TRUE(harness.model->metrics->isRunning.get());
}

TEST(PermissionGate, AnAccessibilityRequestPromptsPollsAndRefreshesAfterASecond) {
  HostHarness harness;
  harness.permissions->trusted = harness.permissions->postEvents = false;
  harness.resolvePermissions();
  harness.model->requestAccessibilityPermission();
  EXPECT_EQ(harness.permissions->accessibilityRequests, 1);
  EXPECT_TRUE(harness.model->permissionPollTask().get());
  harness.permissions->trusted = true;
  harness.model->cancelPermissionPolling();
  harness.pass(999ms);
  EXPECT_EQ(harness.model->metrics->accessibilityStatus.get(), "missing");
  harness.pass(1ms);
  EXPECT_EQ(harness.model->metrics->accessibilityStatus.get(), "granted");
}

}  // namespace
}  // namespace veltrano::test
