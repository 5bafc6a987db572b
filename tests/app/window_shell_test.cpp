// The main window's content cascade, onboarding flag and hooks, against a fake host.
#include <QSettings>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <algorithm>

#include "app/fake_host_controls.hpp"
#include "app/host_bridge.hpp"
#include "app/onboarding_flow.hpp"
#include "app/qt_test_support.hpp"
#include "app/window_shell.hpp"

namespace veltrano {
namespace {

using app::HostSnapshot;
using app::WindowShell;

class WindowShellTest : public ::testing::Test {
 protected:
  QApplication& qt_ = testing::qtApplication();  // before any widget
  // The settings file, with the onboarding flag set or cleared first unless `flag` is none.
  std::unique_ptr<QSettings> settings(std::optional<bool> flag) {
    auto s = std::make_unique<QSettings>(folder_.filePath("settings.ini"), QSettings::IniFormat);
    if (flag == true) s->setValue(WindowShell::onboardingFlagKey, true);
    if (flag == false) s->remove(WindowShell::onboardingFlagKey);
    return s;
  }
  testing::QtMainForTests main_;
  QTemporaryDir folder_;
  testing::FakeHostControls host_;
  app::HostBridge bridge_{host_};
};

struct CascadeCase {
  const char* name;
  bool completed;
  bool resolved;
  bool gate;
  const char* content;
};

TEST_F(WindowShellTest, ContentCascade) {
  const CascadeCase cases[] = {
      {"returning user, not resolved", true, false, false, "checking"},
      {"returning user, not resolved, gate up", true, false, true, "checking"},
      {"new user, not resolved", false, false, false, "onboarding"},
      {"new user, resolved", false, true, false, "onboarding"},
      {"returning user, permission went missing", true, true, true, "onboarding"},
      {"returning user, resolved", true, true, false, "console"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto store = settings(c.completed);
    WindowShell shell(bridge_, *store);
    HostSnapshot state;
    state.hasResolvedPermissions = c.resolved;
    state.requiresPermissionGate = c.gate;
    host_.set(state);
    EXPECT_EQ(shell.content().toStdString(), c.content);
  }
}

TEST_F(WindowShellTest, ShownViewPreparesTheLaunchWithTheFlagThenCompletesOnboardingWhenAllIsGranted) {
  // Both granted from the start: no change of hasAllPermissions will come, only the preparation's end.
  HostSnapshot state;
  state.hasAllPermissions = true;
  host_.set(state);
  auto store = settings(false);
  WindowShell shell(bridge_, *store);
  shell.viewShown();
  ASSERT_TRUE(testing::processEventsUntil([&] { return !host_.calls.empty(); }));
  EXPECT_EQ(host_.calls, std::vector<std::string>{"prepare(new)"});
  state.hasResolvedPermissions = true;
  host_.set(state);
  EXPECT_EQ(shell.content().toStdString(), "onboarding");
  EXPECT_EQ(host_.calls, std::vector<std::string>{"prepare(new)"});
  host_.preparation.resume();
  ASSERT_TRUE(testing::processEventsUntil([&] { return shell.onboardingCompleted(); }));
  EXPECT_EQ(host_.calls, (std::vector<std::string>{"prepare(new)", "completeOnboarding"}));
  EXPECT_EQ(shell.content().toStdString(), "console");
  // Persisted: a new store over the same file reads it.
  EXPECT_TRUE(settings(std::nullopt)->value(WindowShell::onboardingFlagKey).toBool());
}

TEST_F(WindowShellTest, GrantingTheLastPermissionCompletesTheOnboardingOnceAndTheFlagNeverGoesBack) {
  auto store = settings(false);
  WindowShell shell(bridge_, *store);
  HostSnapshot state;
  state.hasResolvedPermissions = true;
  host_.set(state);
  EXPECT_TRUE(host_.calls.empty());
  state.hasAllPermissions = true;
  host_.set(state);
  EXPECT_EQ(host_.calls, std::vector<std::string>{"completeOnboarding"});
  state.hasAllPermissions = false;
  state.requiresPermissionGate = true;
  host_.set(state);
  state.hasAllPermissions = true;
  state.requiresPermissionGate = false;
  host_.set(state);
  EXPECT_EQ(host_.calls, std::vector<std::string>{"completeOnboarding"});
  EXPECT_TRUE(shell.onboardingCompleted());
}

TEST_F(WindowShellTest, FinishingTheOnboardingCompletesItAndPersistsTheFlag) {
  auto store = settings(false);
  WindowShell shell(bridge_, *store);
  int contentChanges = 0;
  QObject::connect(&shell, &WindowShell::contentChanged, [&] { ++contentChanges; });
  shell.finishOnboarding();
  EXPECT_EQ(host_.calls, std::vector<std::string>{"completeOnboarding"});
  EXPECT_TRUE(shell.onboardingCompleted());
  EXPECT_EQ(contentChanges, 1);
}

TEST_F(WindowShellTest, EachOnboardingAppearanceHasAFreshFlowWhoseFinishCompletesTheOnboardingAndWhoseLeavingEndsThePoll) {
  auto store = settings(false);
  WindowShell shell(bridge_, *store);
  HostSnapshot state;
  state.screenRecordingStatus = state.accessibilityStatus = "granted";
  host_.set(state);
  app::OnboardingFlow* flow = shell.beginOnboarding();
  ASSERT_EQ(flow->progress().step, app::OnboardingStep::ready);
  flow->primary();
  EXPECT_TRUE(shell.onboardingCompleted());
  EXPECT_EQ(std::count(host_.calls.begin(), host_.calls.end(), "completeOnboarding"), 1);
  host_.calls.clear();
  app::OnboardingFlow* again = shell.beginOnboarding();
  ASSERT_FALSE(host_.calls.empty());
  EXPECT_EQ(host_.calls.front(), "stopPolling");  // the earlier one left before the new one came
  EXPECT_FALSE(again->completed());
  shell.endOnboarding(flow);  // an older view leaving changes nothing
  EXPECT_EQ(shell.onboarding(), again);
  ASSERT_TRUE(testing::processEventsUntil([&] { return host_.calls.back() == "startPolling"; }));
  host_.calls.clear();
  shell.endOnboarding(again);
  EXPECT_EQ(host_.calls, std::vector<std::string>{"stopPolling"});
  EXPECT_EQ(shell.onboarding(), nullptr);
}

TEST_F(WindowShellTest, BecomingActiveRefreshesLaunchAtLoginThenPermissions) {
  auto store = settings(true);
  WindowShell shell(bridge_, *store);
  shell.applicationBecameActive();
  ASSERT_TRUE(testing::processEventsUntil([&] { return host_.calls.size() == 2; }));
  EXPECT_EQ(host_.calls, (std::vector<std::string>{"refreshLaunchAtLogin", "refreshPermissions"}));
}

TEST_F(WindowShellTest, PagesSwitchBetweenOverviewAndAdvancedOnly) {
  auto store = settings(true);
  WindowShell shell(bridge_, *store);
  EXPECT_EQ(shell.page().toStdString(), "overview");
  shell.setPage("advanced");
  EXPECT_EQ(shell.page().toStdString(), "advanced");
  shell.setPage("elsewhere");
  EXPECT_EQ(shell.page().toStdString(), "advanced");
}

}  // namespace
}  // namespace veltrano
