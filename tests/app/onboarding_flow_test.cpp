// The permission onboarding flow against a fake host: the step that follows the permissions, its texts and
// buttons, what it asks of the host, and what it reports.
#include <gtest/gtest.h>

#include "app/fake_host_controls.hpp"
#include "app/host_bridge.hpp"
#include "app/onboarding_flow.hpp"
#include "app/qt_test_support.hpp"
#include "core/localization.hpp"
#include "core/permission_manager.hpp"

namespace veltrano {
namespace {

using app::HostSnapshot;
using app::OnboardingFlow;
using app::OnboardingStep;
using Event = std::pair<AnalyticsEvent, std::optional<std::string>>;

QString text(const char* key) { return QString::fromStdString(localized(key)); }

class OnboardingFlowTest : public ::testing::Test {
 protected:
  void setPermissions(const std::string& screen, const std::string& accessibility, bool recoveryHelp = false) {
    HostSnapshot state = host_.current;
    state.screenRecordingStatus = screen;
    state.accessibilityStatus = accessibility;
    state.showScreenRecordingRecoveryHelp = recoveryHelp;
    host_.set(state);
  }
  // A flow shown over the permissions as they are now.
  std::unique_ptr<OnboardingFlow> show(bool reduceMotion = false) {
    auto flow = std::make_unique<OnboardingFlow>(
        bridge_, OnboardingFlow::Options{[this](AnalyticsEvent e, std::optional<std::string> d) {
                                           events_.emplace_back(e, std::move(d));
                                         },
                                         [this] { ++completions_; }, reduceMotion});
    flow->appear();
    return flow;
  }
  Event viewed(const char* step) { return {AnalyticsEvent::server_permission_step_viewed, step}; }

  testing::QtMainForTests main_;
  testing::FakeHostControls host_;
  app::HostBridge bridge_{host_};
  std::vector<Event> events_;
  int completions_ = 0;
};

struct ShownCase {
  const char* name;
  const char* screen;
  const char* accessibility;
  OnboardingStep step;
  QString counter;
  const char* primaryKey;
  const char* symbol;
  bool granted;
  const char* stepSymbol;
};

TEST_F(OnboardingFlowTest, OpensOnTheFirstMissingPermissionWithThatStepsTexts) {
  const ShownCase cases[] = {
      {"both granted", "granted", "granted", OnboardingStep::ready, text("host.onboarding.ready.progress"),
       "host.onboarding.ready.connect", "play.fill", true, "checkmark"},
      {"accessibility missing", "granted", "missing", OnboardingStep::accessibility, "Step 2 of 2",
       "host.onboarding.accessibility.allow", "lock.open.fill", false, "accessibility"},
      {"screen missing", "missing", "granted", OnboardingStep::screenRecording, "Step 1 of 2",
       "host.onboarding.screen.allow", "lock.open.fill", false, "rectangle.inset.filled.and.person.filled"},
      {"other spellings are not granted", "Granted", "granted ", OnboardingStep::screenRecording, "Step 1 of 2",
       "host.onboarding.screen.allow", "lock.open.fill", false, "rectangle.inset.filled.and.person.filled"},
      {"empty statuses", "", "", OnboardingStep::screenRecording, "Step 1 of 2", "host.onboarding.screen.allow",
       "lock.open.fill", false, "rectangle.inset.filled.and.person.filled"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    setPermissions(c.screen, c.accessibility);
    auto flow = show();
    EXPECT_EQ(flow->progress().step, c.step);
    EXPECT_EQ(flow->counter(), c.counter);
    EXPECT_EQ(flow->primaryTitle(), text(c.primaryKey));
    EXPECT_EQ(flow->primarySymbol().toStdString(), c.symbol);
    EXPECT_EQ(flow->stepGranted(), c.granted);
    EXPECT_EQ(flow->statusText(), text(c.granted ? "host.onboarding.status.granted" : "host.onboarding.status.waiting"));
    EXPECT_EQ(flow->stepSymbol().toStdString(), c.stepSymbol);
    EXPECT_EQ(flow->backOffered(), c.step == OnboardingStep::accessibility);
    EXPECT_EQ(flow->instructions().size(), c.step == OnboardingStep::ready ? 2 : 3);
    EXPECT_NE(flow->title(), flow->eyebrow());
  }
}

TEST_F(OnboardingFlowTest, AppearingReportsRefreshesThenPollsAndGlidesInUnlessMotionIsReduced) {
  for (bool reduceMotion : {false, true}) {
    SCOPED_TRACE(reduceMotion ? "reduced motion" : "motion");
    setPermissions("granted", "missing");
    events_.clear();
    host_.calls.clear();
    auto flow = show(reduceMotion);
    EXPECT_EQ(events_, (std::vector<Event>{{AnalyticsEvent::server_onboarding_started, std::nullopt},
                                           viewed("screen_recording"), viewed("accessibility")}));
    ASSERT_TRUE(testing::processEventsUntil([&] { return host_.calls.size() == 2; }));
    EXPECT_EQ(host_.calls, (std::vector<std::string>{"refreshPermissions", "startPolling"}));
    EXPECT_EQ(flow->animating(), !reduceMotion);
    flow->disappear();
    EXPECT_EQ(host_.calls.back(), "stopPolling");
  }
}

TEST_F(OnboardingFlowTest, FollowsPermissionsGrantedAndRevokedWithoutAPress) {
  setPermissions("missing", "missing");
  auto flow = show();
  events_.clear();
  setPermissions("granted", "missing");
  EXPECT_EQ(flow->progress().step, OnboardingStep::accessibility);
  setPermissions("granted", "granted");
  EXPECT_EQ(flow->progress().step, OnboardingStep::ready);
  setPermissions("missing", "granted");
  EXPECT_EQ(flow->progress().step, OnboardingStep::screenRecording);
  EXPECT_EQ(events_, (std::vector<Event>{viewed("accessibility"), viewed("ready"), viewed("screen_recording")}));
}

TEST_F(OnboardingFlowTest, PrimaryAsksForTheMissingPermissionAndLeavesTheStepToTheStatus) {
  const std::pair<const char*, const char*> cases[] = {{"missing", "requestScreenRecording"},
                                                       {"granted", "requestAccessibility"}};
  for (const auto& [screen, request] : cases) {
    SCOPED_TRACE(request);
    setPermissions(screen, "missing");
    auto flow = show();
    const auto step = flow->progress().step;
    host_.calls.clear();
    flow->primary();
    // The request, then the check that answers it on this desktop.
    ASSERT_TRUE(testing::processEventsUntil([&] { return host_.calls.size() >= 2; }));
    EXPECT_EQ(host_.calls, (std::vector<std::string>{request, "refreshPermissions"}));
    EXPECT_EQ(flow->progress().step, step);
  }
}

TEST_F(OnboardingFlowTest, BackShowsScreenRecordingWithContinueAndPrimaryReturns) {
  setPermissions("granted", "missing");
  auto flow = show();
  flow->goBack();
  EXPECT_EQ(flow->progress().step, OnboardingStep::screenRecording);
  EXPECT_EQ(flow->primaryTitle(), text("host.onboarding.continue"));
  EXPECT_EQ(flow->primarySymbol().toStdString(), "arrow.right");
  // An unrelated change of the host does not re-derive the step.
  HostSnapshot state = host_.current;
  state.isRunning = true;
  host_.set(state);
  EXPECT_EQ(flow->progress().step, OnboardingStep::screenRecording);
  flow->primary();
  EXPECT_EQ(flow->progress().step, OnboardingStep::accessibility);
}

TEST_F(OnboardingFlowTest, ReadyCompletesOnceAndThenStaysWhateverHappens) {
  setPermissions("granted", "granted");
  auto flow = show();
  events_.clear();
  flow->primary();
  EXPECT_TRUE(flow->completed());
  EXPECT_EQ(completions_, 1);
  EXPECT_EQ(events_, (std::vector<Event>{{AnalyticsEvent::server_onboarding_completed, std::nullopt}}));
  flow->primary();
  flow->goBack();
  setPermissions("missing", "missing");
  EXPECT_EQ(completions_, 1);
  EXPECT_EQ(events_.size(), 1u);
  EXPECT_EQ(flow->progress(), (app::OnboardingProgress{OnboardingStep::ready, true}));
}

struct RecoveryCase {
  const char* name;
  const char* screen;
  bool help;
  bool goBack;
  bool shown;
};

TEST_F(OnboardingFlowTest, RecoveryHelpOnlyOnScreenRecordingWhenAskedForAndStillMissing) {
  const RecoveryCase cases[] = {
      {"asked for, missing", "missing", true, false, true},
      {"not asked for", "missing", false, false, false},
      {"granted meanwhile", "granted", true, true, false},
      {"on accessibility", "granted", true, false, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    setPermissions(c.screen, "missing", c.help);
    auto flow = show();
    if (c.goBack) flow->goBack();
    EXPECT_EQ(flow->recoveryHelpShown(), c.shown);
  }
}

TEST_F(OnboardingFlowTest, ReopeningOpensTheScreenRecordingSettings) {
  std::vector<std::string> opened;
  auto previous = PermissionManager::setUrlOpener([&](const std::string& url) { opened.push_back(url); });
  setPermissions("missing", "missing", true);
  auto flow = show();
  EXPECT_TRUE(flow->settingsHelp().isEmpty());
  flow->reopenScreenRecordingSettings();
  PermissionManager::setUrlOpener(previous);
  ASSERT_EQ(opened.size(), 1u);
  EXPECT_NE(opened[0].find(OnboardingFlow::screenRecordingAnchor), std::string::npos);
  // This desktop has no settings to open: the flow says where the access comes from instead.
  EXPECT_EQ(flow->settingsHelp().toStdString(), localized("host.permission.screen_recording.help"));
}

TEST(OnboardingStep, RawValuesAndAnalyticsNames) {
  EXPECT_EQ(app::onboardingStepFromRaw(0), OnboardingStep::screenRecording);
  EXPECT_EQ(app::onboardingStepFromRaw(2), OnboardingStep::ready);
  EXPECT_EQ(app::onboardingStepFromRaw(3), std::nullopt);
  EXPECT_EQ(app::onboardingStepFromRaw(-1), std::nullopt);
  EXPECT_EQ(app::analyticsName(OnboardingStep::accessibility), "accessibility");
}

}  // namespace
}  // namespace veltrano
