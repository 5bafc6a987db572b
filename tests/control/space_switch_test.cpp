// Space switching: the cursor is centred on the active display, then the window manager is asked for the
// neighbouring desktop; no key is pressed. Under the real X server for the centring, with a fake window manager.
#include "control_test_support.hpp"

namespace veltrano::test {
namespace {

Json accepted(const std::string& direction) {
  return {{"type", "switchSpace"}, {"status", "accepted"}, {"direction", direction}};
}
Json unavailable(const std::string& reason) {
  return {{"type", "error"}, {"message", "switchSpace unavailable: " + reason}};
}

class SpaceSwitchX11 : public ControlHarnessX11Test {
 protected:
  void prepare() override { harness_->input->setDisplayFrame({960, 0}, {960, 1080}); }
};

TEST_F(SpaceSwitchX11, CentresTheCursorAndAsksForTheNextDesktopWithoutKeys) {
  auto pending = harness_->start(R"({"type": "switchSpace", "direction": "right"})");
  harness_->settle();
  ASSERT_TRUE(pending->ready());
  EXPECT_EQ(*pending->reply, accepted("right"));
  EXPECT_EQ(harness_->desktops->requested, std::vector<std::uint32_t>{2});
  EXPECT_EQ(pointerPositionOnce(window_->connection(), {960 + 480, 540}), (std::pair{960 + 480, 540}));
  for (const RecordedEvent& event : drainEvents(*window_)) {
    EXPECT_NE(event.type, XCB_KEY_PRESS) << "Control+arrow moves the caret of the focused application";
  }
  EXPECT_EQ(harness_->messagesContaining("===VL=== switchSpace"),
            (std::vector<std::string>{
                "===VL=== switchSpace right center=ok(\"centerCursor\") origin=(960.0, 0.0) size=(960.0, 1080.0)",
                "===VL=== switchSpace atajo enviado: ^right"}));
}

TEST_F(SpaceSwitchX11, WithoutPostingPermissionOnlyTheCentringIsIgnored) {
  harness_->setMayPost(false);
  EXPECT_EQ(harness_->send(R"({"type": "switchSpace", "direction": "left"})"), accepted("left"));
  harness_->settle();
  EXPECT_TRUE(drainEvents(*window_).empty());
  EXPECT_EQ(harness_->desktops->requested, std::vector<std::uint32_t>{0});
  EXPECT_EQ(harness_->messagesContaining("center=ignoredAccessibility").size(), 1u);
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

TEST(SpaceSwitch, WithoutADesktopSwitcherEverySwitchIsRefused) {
  MainLoopForTests loop;
  VirtualClock clock;
  auto handler = InputCommandHandler::create(InputController::create(nullptr, [] { return true; }, clock),
                                             std::make_shared<MetricsStore>(), clock);
  asio::io_context caller;
  std::optional<Json> reply;
  asio::co_spawn(caller, handler->handle(R"({"type": "switchSpace", "direction": "left"})"),
                 [&](std::exception_ptr, Json value) { reply = std::move(value); });
  for (int i = 0; i < 20 && !reply; ++i) {
    loop.drain();
    caller.restart();
    caller.poll();
  }
  EXPECT_EQ(reply, unavailable("no X server to ask for another desktop"));
  handler.reset();
  loop.drain();
}

TEST(SpaceSwitch, APhoneSwitchIsAnsweredAfterTheRequestIsSent) {
  ControlHarness harness(/*withX=*/false);
  std::vector<std::size_t> requestsAtReply;
  auto pending = harness.start(
      R"({"type": "switchSpace", "direction": "left", "phonePointer": true, "pointerSession": "s1", "pointerSequence": 7})",
      [&](const Json&) { requestsAtReply.push_back(harness.desktops->requested.size()); });
  EXPECT_EQ(harness.await(pending), accepted("left"));
  EXPECT_EQ(requestsAtReply, std::vector<std::size_t>{1});
  EXPECT_EQ(harness.handler->pendingPhoneCommandCount(), 0u);
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
