// Phone pointer sessions in the command handler: the sequence gate, stale commands, and a phone display selection
// answered once it is applied.
#include "control/phone_pointer_sequence_gate.hpp"
#include "control_test_support.hpp"

namespace veltrano::test {
namespace {

Json superseded(const std::string& type) { return {{"type", type}, {"status", "dropped"}, {"reason", "superseded"}}; }

TEST(PhonePointerCommands, OnlyNewerNumbersOfASessionPassUntilItEnds) {
  ControlHarness harness(/*withX=*/false, /*mayPost=*/false);
  const Json at = {{"x", 1}, {"y", 1}};
  EXPECT_EQ(harness.sendCommand(phone("mouseMove", "s1", 5, at))["status"], "ignored");
  EXPECT_EQ(harness.sendCommand(phone("mouseMove", "s1", 4, at)), superseded("mouseMove"));
  EXPECT_EQ(harness.sendCommand(phone("leftClick", "s1", 5)), superseded("leftClick"));
  // Dropped before logging and before any effect.
  EXPECT_EQ(harness.messagesContaining("command: ").size(), 1u);
  EXPECT_EQ(harness.messagesContaining("Event-posting access missing").size(), 1u);

  // Not phone commands, or no usable session or number: the gate lets them through and records nothing.
  for (Json command : {Json{{"type", "leftClick"}, {"phonePointer", false}, {"pointerSession", "s1"}, {"pointerSequence", 1}},
                       Json{{"type", "leftClick"}, {"phonePointer", 1}, {"pointerSession", "s1"}, {"pointerSequence", 1}},
                       Json{{"type", "leftClick"}, {"phonePointer", true}, {"pointerSession", "s1"}},
                       phone("leftClick", "s1", -1), phone("leftClick", "", 1), phone("leftClick", "", 1)}) {
    EXPECT_EQ(harness.sendCommand(command)["status"], "ignored") << command.dump();
  }
  EXPECT_EQ(harness.sendCommand(phone("leftClick", "s2", 1))["status"], "ignored") << "sessions are independent";
  EXPECT_EQ(harness.sendCommand(phone("leftClick", "s1", 6))["status"], "ignored");
  EXPECT_EQ(harness.handler->phonePointerSequenceGate().latestBySession,
            (std::map<std::string, std::int64_t, std::less<>>{{"s1", 6}, {"s2", 1}}));

  harness.handler->endPhonePointerSession("s1");
  EXPECT_EQ(harness.sendCommand(phone("leftClick", "s1", 1))["status"], "ignored") << "a new session starts afresh";
}

TEST(PhonePointerCommands, AStaleCommandLeavesTheGateAlone) {
  ControlHarness harness(/*withX=*/false, /*mayPost=*/false);
  harness.sendCommand(phone("mouseMove", "s1", 5, {{"x", 1}, {"y", 1}}));
  auto late = harness.start(phone("mouseDown", "s1", 10).dump());
  harness.clock.advance(600ms);
  EXPECT_EQ(harness.await(late), (Json{{"type", "mouseDown"}, {"status", "dropped"}, {"reason", "stale"}}));
  EXPECT_EQ(harness.sendCommand(phone("mouseDrag", "s1", 7))["status"], "ignored");
}

TEST(PhoneDisplaySelection, ASelectionIsAnsweredOnceAppliedWithoutWaitingForTheBroadcast) {
  ControlHarness harness(/*withX=*/false);
  harness.metrics->availableDisplays.set({DisplayInfo{5, "Left", 960, 1080, 9100}, DisplayInfo{6, "Right", 1280, 720, 9101}});
  auto server = std::make_shared<RecordingBroadcaster>();
  server->holding = true;  // a slow control server
  harness.handler->setBroadcaster(server);

  auto pending = harness.start(phone("setDisplay", "s1", 1, {{"displayID", 6}}).dump());
  harness.settle();
  ASSERT_TRUE(pending->ready()) << "the broadcast is started, not awaited";
  EXPECT_EQ(*pending->reply, (Json{{"type", "setDisplay"}, {"status", "accepted"}}));
  EXPECT_EQ(harness.metrics->activeDisplayID.get(), 6u);
  ASSERT_EQ(server->messages.size(), 1u);
  EXPECT_EQ(harness.handler->pendingPhoneCommandCount(), 0u);

  auto plain = harness.start(R"({"type": "setDisplay", "displayID": 5})");
  harness.settle();
  EXPECT_TRUE(plain->ready());
  EXPECT_EQ(harness.metrics->activeDisplayID.get(), 5u);
  EXPECT_EQ(server->messages.size(), 2u);
  server->release.resume();
  harness.settle();
}

}  // namespace
}  // namespace veltrano::test
