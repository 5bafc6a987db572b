// Space switching: the cursor is centred on the active display, then the window manager (a fake here) is asked
// for the neighbouring desktop.
#include "control_test_support.hpp"

namespace veltrano::test {
namespace {

Json accepted(const std::string& direction) {
  return {{"type", "switchSpace"}, {"status", "accepted"}, {"direction", direction}};
}
Json unavailable(const std::string& reason) {
  return {{"type", "error"}, {"message", "switchSpace unavailable: " + reason}};
}

// Without X: the replies, requests and log lines of each case.
TEST(SpaceSwitch, RepliesRequestsAndLogLines) {
  struct Case {
    std::string direction;
    std::uint32_t current;
    std::optional<std::string> unsupported;
    Json reply;
    std::vector<std::uint32_t> requested;
    std::string lastLog;  // the last "===VL=== switchSpace" line; empty when none
  };
  const std::string noOverview = "X window managers have no overview of the desktops to open";
  const std::vector<Case> cases = {
      {"left", 1, {}, accepted("left"), {0}, "===VL=== switchSpace atajo enviado: ^left"},
      {"right", 3, {}, accepted("right"), {}, "===VL=== switchSpace right: already on the last desktop"},
      {"left", 0, {}, accepted("left"), {}, "===VL=== switchSpace left: already on the first desktop"},
      {"up", 1, {}, unavailable(noOverview), {}, ""},
      {"missionControl", 1, {}, unavailable(noOverview), {}, ""},
      {"right", 1, "no window manager here", unavailable("no window manager here"), {}, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.direction + " from " + std::to_string(c.current));
    ControlHarness harness(/*withX=*/false);
    harness.desktops->current = c.current;
    harness.desktops->unsupported = c.unsupported;
    EXPECT_EQ(harness.sendCommand({{"type", "switchSpace"}, {"direction", c.direction}}), c.reply);
    harness.settle();
    EXPECT_EQ(harness.desktops->requested, c.requested);
    const std::vector<std::string> lines = harness.messagesContaining("===VL=== switchSpace");
    EXPECT_EQ(lines.empty() ? "" : lines.back(), c.lastLog);
    EXPECT_EQ(lines.size(), c.lastLog.empty() ? 0u : 2u) << "no centring when the switch is refused";
  }
}

TEST(SpaceSwitch, WithoutPostingPermissionOnlyTheCentringIsIgnored) {
  ControlHarness harness(/*withX=*/false, /*mayPost=*/false);
  EXPECT_EQ(harness.sendCommand({{"type", "switchSpace"}, {"direction", "left"}}), accepted("left"));
  harness.settle();
  EXPECT_EQ(harness.desktops->requested, std::vector<std::uint32_t>{0});
  EXPECT_EQ(harness.messagesContaining("center=ignoredAccessibility").size(), 1u);
}

TEST(SpaceSwitch, WithoutADesktopSwitcherEverySwitchIsRefused) {
  ControlHarness harness(/*withX=*/false);
  harness.handler = InputCommandHandler::create(harness.input, harness.metrics, harness.clock);
  EXPECT_EQ(harness.sendCommand({{"type", "switchSpace"}, {"direction", "left"}}),
            unavailable("no X server to ask for another desktop"));
}

TEST(SpaceSwitch, EndingTheSessionAnswersOnlyItsOwnPendingSwitchesAndTheyStillRun) {
  ControlHarness harness(/*withX=*/false);
  auto mine = harness.start(
      R"({"type": "switchSpace", "direction": "right", "phonePointer": true, "pointerSession": "s1", "pointerSequence": 1})");
  auto other = harness.start(
      R"({"type": "switchSpace", "direction": "right", "phonePointer": true, "pointerSession": "s10", "pointerSequence": 1})");
  harness.loop.context().restart();
  harness.loop.context().run_one();  // only the two main-thread steps: the switches are queued, not started
  harness.loop.context().run_one();
  ASSERT_EQ(harness.handler->pendingPhoneCommandCount(), 2u);
  harness.handler->endPhonePointerSession("s1");
  EXPECT_EQ(harness.handler->pendingPhoneCommandCount(), 1u);
  harness.settle();
  EXPECT_TRUE(mine->ready());
  EXPECT_TRUE(other->ready());
  EXPECT_EQ(harness.desktops->requested, (std::vector<std::uint32_t>{2, 3}));
}

TEST(SpaceSwitch, AHandlerGoneBeforeTheSwitchStartsAsksForNothing) {
  ControlHarness harness(/*withX=*/false);
  auto pending = harness.start(R"({"type": "switchSpace", "direction": "left"})");
  harness.loop.context().restart();
  harness.loop.context().run_one();  // only the main-thread step: the switch is queued, not started
  harness.handler.reset();
  harness.settle();
  EXPECT_TRUE(pending->ready());
  EXPECT_TRUE(harness.desktops->requested.empty());
  EXPECT_TRUE(harness.messagesContaining("===VL=== switchSpace").empty());
}

}  // namespace
}  // namespace veltrano::test
