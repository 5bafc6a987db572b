// Phone pointer sessions: the sequence gate, superseded and stale commands, phone commands answered after
// their effect, and the end of a session.
#include "control/phone_pointer_sequence_gate.hpp"
#include "control_test_support.hpp"

namespace veltrano::test {
namespace {

std::string phone(const std::string& type, const std::string& session, std::int64_t sequence,
                  const std::string& extra = "") {
  return R"({"type": ")" + type + R"(", "phonePointer": true, "pointerSession": ")" + session +
         R"(", "pointerSequence": )" + std::to_string(sequence) + extra + "}";
}

Json superseded(const std::string& type) {
  return {{"type", type}, {"status", "dropped"}, {"reason", "superseded"}};
}

TEST(PhonePointerSequenceGate, AcceptsOnlyNewerNumbersPerSession) {
  PhonePointerSequenceGate gate;
  EXPECT_TRUE(gate.shouldAccept("a", 5));
  EXPECT_FALSE(gate.shouldAccept("a", 4));
  EXPECT_FALSE(gate.shouldAccept("a", 5));
  EXPECT_TRUE(gate.shouldAccept("a", 6));
  EXPECT_TRUE(gate.shouldAccept("a", 100));
  EXPECT_TRUE(gate.shouldAccept("b", 1));

  // No session, an empty one, no number or a negative one: always through, nothing recorded.
  EXPECT_TRUE(gate.shouldAccept(std::nullopt, 1));
  EXPECT_TRUE(gate.shouldAccept("", 1));
  EXPECT_TRUE(gate.shouldAccept("", 1));
  EXPECT_TRUE(gate.shouldAccept("c", std::nullopt));
  EXPECT_TRUE(gate.shouldAccept("c", -3));
  EXPECT_EQ(gate.latestBySession, (std::map<std::string, std::int64_t, std::less<>>{{"a", 100}, {"b", 1}}));

  gate.forget("a");
  EXPECT_TRUE(gate.shouldAccept("a", 1));
}

TEST(PhonePointerCommands, OutOfSequenceCommandsAreDroppedAsSuperseded) {
  ControlHarness harness(/*withX=*/false, /*mayPost=*/false);
  EXPECT_EQ(harness.send(phone("mouseMove", "s1", 5, R"(, "x": 1, "y": 1)"))["status"], "ignored");
  EXPECT_EQ(harness.send(phone("mouseMove", "s1", 4, R"(, "x": 1, "y": 1)")), superseded("mouseMove"));
  EXPECT_EQ(harness.send(phone("leftClick", "s1", 5)), superseded("leftClick"));
  EXPECT_FALSE(InputCommandHandler::isDiscreteCommand(superseded("mouseMove")));
  EXPECT_TRUE(InputCommandHandler::isDiscreteCommand(superseded("leftClick")));
  // Dropped before logging and before any effect.
  EXPECT_EQ(harness.messagesContaining("command: ").size(), 1u);
  EXPECT_EQ(harness.messagesContaining("Event-posting access missing").size(), 1u);

  // Not phone pointer commands: the gate is not asked.
  EXPECT_EQ(harness.send(R"({"type": "leftClick", "phonePointer": false, "pointerSession": "s1", "pointerSequence": 1})")["status"],
            "ignored");
  EXPECT_EQ(harness.send(R"({"type": "leftClick", "phonePointer": 1, "pointerSession": "s1", "pointerSequence": 1})")["status"],
            "ignored");
  // Without a usable number or session a phone command is always let through.
  EXPECT_EQ(harness.send(R"({"type": "leftClick", "phonePointer": true, "pointerSession": "s1"})")["status"], "ignored");
  EXPECT_EQ(harness.send(phone("leftClick", "s1", -1))["status"], "ignored");
  EXPECT_EQ(harness.send(phone("leftClick", "", 1))["status"], "ignored");
  EXPECT_EQ(harness.send(phone("leftClick", "s1", 6))["status"], "ignored");
  EXPECT_EQ(harness.handler->phonePointerSequenceGate().latestBySession.at("s1"), 6);
}

TEST(PhonePointerCommands, AStaleCommandLeavesTheGateAlone) {
  ControlHarness harness(/*withX=*/false, /*mayPost=*/false);
  harness.send(phone("mouseMove", "s1", 5, R"(, "x": 1, "y": 1)"));
  auto late = harness.start(phone("mouseDown", "s1", 10));
  harness.clock.advance(600ms);
  EXPECT_EQ(harness.await(late), (Json{{"type", "mouseDown"}, {"status", "dropped"}, {"reason", "stale"}}));
  EXPECT_EQ(harness.send(phone("mouseDrag", "s1", 7))["status"], "ignored");
}

TEST(PhonePointerCommands, SessionOfALine) {
  EXPECT_EQ(InputCommandHandler::parseLine(phone("mouseMove", "s9", 1)).pointerSession, "s9");
  EXPECT_EQ(InputCommandHandler::parseLine(R"({"type": "x", "phonePointer": true, "pointerSession": ""})").pointerSession, "");
  EXPECT_EQ(InputCommandHandler::parseLine(R"({"type": "x", "pointerSession": "s9"})").pointerSession, std::nullopt);
  EXPECT_EQ(InputCommandHandler::parseLine(R"({"phonePointer": true, "pointerSession": 4})").pointerSession, std::nullopt);
  EXPECT_EQ(InputCommandHandler::parseLine(R"([{"phonePointer": true, "pointerSession": "s"}])").pointerSession, std::nullopt);
  EXPECT_EQ(InputCommandHandler::parseLine("not json").pointerSession, std::nullopt);
}

TEST(PhonePointerCommands, EndingASessionForgetsItsNumbers) {
  ControlHarness harness(/*withX=*/false, /*mayPost=*/false);
  harness.send(phone("mouseMove", "s1", 8, R"(, "x": 1, "y": 1)"));
  EXPECT_EQ(harness.send(phone("leftClick", "s1", 1)), superseded("leftClick"));
  harness.handler->endPhonePointerSession("s1");
  EXPECT_EQ(harness.send(phone("leftClick", "s1", 1))["status"], "ignored");
}

class RecordingBroadcaster final : public ControlClientBroadcaster {
 public:
  asio::awaitable<void> broadcast(Json message) override {
    messages.push_back(std::move(message));
    co_await release.wait();  // a slow control server
  }
  std::vector<Json> messages;
  Continuation<> release;
};

TEST(PhoneDisplaySelection, APhoneSelectionIsAnsweredOnceTheChangeIsApplied) {
  ControlHarness harness(/*withX=*/false);
  harness.metrics->availableDisplays.set({DisplayInfo{5, "Left", 960, 1080, 9100}, DisplayInfo{6, "Right", 1280, 720, 9101}});
  auto server = std::make_shared<RecordingBroadcaster>();
  harness.handler->setBroadcaster(server);

  auto pending = harness.start(phone("setDisplay", "s1", 1, R"(, "displayID": 6)"));
  harness.settle();
  ASSERT_TRUE(pending->ready()) << "the broadcast is started, not awaited";
  EXPECT_EQ(*pending->reply, (Json{{"type", "setDisplay"}, {"status", "accepted"}}));
  EXPECT_EQ(harness.metrics->activeDisplayID.get(), 6u);
  ASSERT_EQ(server->messages.size(), 1u);
  EXPECT_EQ(harness.handler->pendingPhoneCommandCount(), 0u);

  // A plain selection does not wait for the change either: its task goes on alone (and waits for the
  // broadcast).
  auto plain = harness.start(R"({"type": "setDisplay", "displayID": 5})");
  harness.settle();
  EXPECT_TRUE(plain->ready());
  EXPECT_EQ(harness.metrics->activeDisplayID.get(), 5u);
  EXPECT_EQ(server->messages.size(), 2u);
  server->release.resume();
  harness.settle();
}

TEST(PhoneDragOwnership, APlainPressTakesTheDragFromThePhone) {
  ControlHarness harness(/*withX=*/false);
  harness.input->setDisplayFrame({0, 0}, {960, 1080});
  // No X: presses fail, and a failed press records no owner.
  harness.send(phone("mouseDown", "s1", 1));
  EXPECT_EQ(harness.handler->activePhoneDragSessionID(), std::nullopt);
}

class PhoneSessionEndX11 : public ControlHarnessX11Test {
 protected:
  void prepare() override { harness_->input->setDisplayFrame({0, 0}, {960, 1080}); }
  std::vector<RecordedEvent> buttons() { return withoutMotion(drainEvents(*window_)); }
};

TEST_F(PhoneSessionEndX11, EndingTheSessionReleasesItsHeldButtonAtTheCursor) {
  EXPECT_EQ(harness_->send(phone("mouseDown", "s1", 1, R"(, "x": 100, "y": 100)"))["status"], "ok");
  EXPECT_EQ(harness_->handler->activePhoneDragSessionID(), "s1");
  harness_->send(phone("mouseDrag", "s1", 2, R"(, "x": 300, "y": 250)"));
  drainEvents(*window_);

  harness_->handler->endPhonePointerSession("s2");  // another session: nothing
  EXPECT_TRUE(buttons().empty());
  harness_->handler->endPhonePointerSession("s1");
  const std::vector<RecordedEvent> events = buttons();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].type, XCB_BUTTON_RELEASE);
  EXPECT_EQ(events[0].detail, 1);
  EXPECT_EQ(std::pair(events[0].rootX, events[0].rootY), (std::pair{300, 250}));
  EXPECT_EQ(harness_->handler->activePhoneDragSessionID(), std::nullopt);

  harness_->handler->endPhonePointerSession("s1");
  EXPECT_TRUE(buttons().empty()) << "exactly one release";
}

TEST_F(PhoneSessionEndX11, NothingIsReleasedWhenTheButtonIsNoLongerTheSessions) {
  harness_->send(phone("mouseDown", "s1", 1, R"(, "x": 10, "y": 10)"));
  harness_->send(phone("mouseUp", "s1", 2, R"(, "x": 10, "y": 10)"));
  drainEvents(*window_);
  harness_->handler->endPhonePointerSession("s1");
  EXPECT_TRUE(buttons().empty());

  harness_->send(phone("mouseDown", "s2", 1, R"(, "x": 20, "y": 20)"));
  EXPECT_EQ(harness_->handler->activePhoneDragSessionID(), "s2");
  harness_->send(R"({"type": "mouseDown", "x": 30, "y": 30})");
  EXPECT_EQ(harness_->handler->activePhoneDragSessionID(), std::nullopt);
  harness_->send(R"({"type": "mouseUp", "x": 30, "y": 30})");
  drainEvents(*window_);
  harness_->handler->endPhonePointerSession("s2");
  EXPECT_TRUE(buttons().empty());
}

}  // namespace
}  // namespace veltrano::test
