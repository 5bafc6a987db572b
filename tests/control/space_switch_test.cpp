// Space switching under the real X server: the cursor is centred, then control is held around an arrow key,
// with the pauses of the chord measured on the handler's clock.
#include <xkbcommon/xkbcommon-keysyms.h>

#include "control_test_support.hpp"

namespace veltrano::test {
namespace {

class SpaceSwitchX11 : public ControlHarnessX11Test {
 protected:
  void prepare() override { harness_->input->setDisplayFrame({960, 0}, {960, 1080}); }

  // Key events received so far, as (type, keysym).
  std::vector<std::pair<std::uint8_t, std::uint32_t>> keys() {
    std::vector<std::pair<std::uint8_t, std::uint32_t>> seen;
    for (const RecordedEvent& e : drainEvents(*window_, 100ms)) {
      if (e.type == XCB_KEY_PRESS || e.type == XCB_KEY_RELEASE) {
        seen.emplace_back(e.type, window_->keysymAtLevel0(e.detail));
      }
    }
    return seen;
  }
  using KeyEvents = std::vector<std::pair<std::uint8_t, std::uint32_t>>;
  static std::pair<std::uint8_t, std::uint32_t> down(std::uint32_t keysym) { return {XCB_KEY_PRESS, keysym}; }
  static std::pair<std::uint8_t, std::uint32_t> up(std::uint32_t keysym) { return {XCB_KEY_RELEASE, keysym}; }
};

TEST_F(SpaceSwitchX11, TheChordFollowsTheCentringWithItsPauses) {
  auto pending = harness_->start(R"({"type": "switchSpace", "direction": "right"})");
  harness_->settle();
  ASSERT_TRUE(pending->ready()) << "a plain switch is answered at once";
  EXPECT_EQ(*pending->reply, (Json{{"type", "switchSpace"}, {"status", "accepted"}, {"direction", "right"}}));
  EXPECT_EQ(pointerPositionOnce(window_->connection(), {960 + 480, 540}), (std::pair{960 + 480, 540}));
  EXPECT_TRUE(keys().empty());

  harness_->clock.advance(119ms);
  EXPECT_TRUE(keys().empty());
  harness_->clock.advance(1ms);
  EXPECT_EQ(keys(), KeyEvents{down(XKB_KEY_Control_L)});
  harness_->clock.advance(34ms);
  EXPECT_TRUE(keys().empty());
  harness_->clock.advance(1ms);
  EXPECT_EQ(keys(), KeyEvents{down(XKB_KEY_Right)});
  harness_->clock.advance(35ms);
  EXPECT_EQ(keys(), KeyEvents{up(XKB_KEY_Right)});
  harness_->clock.advance(35ms);
  EXPECT_EQ(keys(), KeyEvents{up(XKB_KEY_Control_L)});
  EXPECT_FALSE(window_->anyKeyDown());

  EXPECT_EQ(harness_->messagesContaining("===VL=== switchSpace"),
            (std::vector<std::string>{
                "===VL=== switchSpace right center=ok(\"centerCursor\") origin=(960.0, 0.0) size=(960.0, 1080.0)",
                "===VL=== switchSpace atajo enviado: ^right"}));
}

TEST_F(SpaceSwitchX11, MissionControlAndUpPostTheUpArrow) {
  for (const std::string direction : {"missionControl", "up", "left"}) {
    SCOPED_TRACE(direction);
    harness_->logs.sink().clear();
    const Json reply = harness_->send(R"({"type": "switchSpace", "direction": ")" + direction + R"("})");
    EXPECT_EQ(reply, (Json{{"type", "switchSpace"}, {"status", "accepted"}, {"direction", direction}}));
    harness_->clock.advance(225ms);
    const std::uint32_t arrow = direction == "left" ? XKB_KEY_Left : XKB_KEY_Up;
    EXPECT_EQ(keys(), (KeyEvents{down(XKB_KEY_Control_L), down(arrow), up(arrow), up(XKB_KEY_Control_L)}));
    const std::string arrowName = direction == "left" ? "left" : "up";
    EXPECT_EQ(harness_->messagesContaining("atajo"),
              std::vector<std::string>{"===VL=== switchSpace atajo enviado: ^" + arrowName});
  }
}

TEST_F(SpaceSwitchX11, APhoneSwitchIsAnsweredAfterTheControlKeyIsReleased) {
  auto pending = harness_->start(
      R"({"type": "switchSpace", "direction": "left", "phonePointer": true, "pointerSession": "s1", "pointerSequence": 7})");
  harness_->settle();
  harness_->clock.advance(190ms);
  EXPECT_FALSE(pending->ready());
  EXPECT_EQ(keys().size(), 3u);
  harness_->clock.advance(35ms);
  harness_->settle();
  EXPECT_TRUE(pending->ready());
  EXPECT_EQ(keys(), KeyEvents{up(XKB_KEY_Control_L)});
}

TEST_F(SpaceSwitchX11, EndingTheSessionInTheFirstPausePostsTheRestAtOnce) {
  auto pending = harness_->start(
      R"({"type": "switchSpace", "direction": "left", "phonePointer": true, "pointerSession": "s1", "pointerSequence": 1})");
  harness_->settle();
  harness_->clock.advance(60ms);
  EXPECT_TRUE(keys().empty());
  harness_->handler->endPhonePointerSession("s1");
  harness_->settle();
  EXPECT_TRUE(pending->ready());
  EXPECT_EQ(keys(), (KeyEvents{down(XKB_KEY_Control_L), down(XKB_KEY_Left), up(XKB_KEY_Left), up(XKB_KEY_Control_L)}));
  EXPECT_EQ(harness_->clock.sleeperCount(), 0u);
}

TEST_F(SpaceSwitchX11, WithoutPermissionTheSequenceRunsButPostsNothing) {
  harness_->setMayPost(false);
  EXPECT_EQ(harness_->send(R"({"type": "switchSpace", "direction": "up"})")["status"], "accepted");
  harness_->clock.advance(225ms);
  EXPECT_TRUE(drainEvents(*window_).empty());
  EXPECT_EQ(harness_->messagesContaining("Event-posting access missing").size(), 5u);
  EXPECT_EQ(harness_->messagesContaining("===VL=== switchSpace").size(), 2u);
  EXPECT_NE(harness_->messagesContaining("center=ignoredAccessibility").size(), 0u);
}

TEST_F(SpaceSwitchX11, AHandlerGoneBeforeTheSwitchStartsPostsNothing) {
  auto pending = harness_->start(R"({"type": "switchSpace", "direction": "left"})");
  harness_->loop.context().restart();
  harness_->loop.context().run_one();  // only the main-thread step: the switch is queued, not started
  harness_->handler.reset();
  harness_->settle();
  harness_->clock.advance(300ms);
  EXPECT_TRUE(pending->ready());
  EXPECT_TRUE(drainEvents(*window_).empty());
  EXPECT_TRUE(harness_->messagesContaining("switchSpace").size() == 0u);
}

}  // namespace
}  // namespace veltrano::test
