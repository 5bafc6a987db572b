// The intake of command lines: staleness measured on the handler's uptime clock, the activity logging with
// its throttle, callers on other threads, and a handler that is gone.
#include <atomic>

#include "base/main_thread_call.hpp"
#include "control_test_support.hpp"
#include "support/run_blocking.hpp"

namespace veltrano::test {
namespace {

Json stale(const std::string& type) { return {{"type", type}, {"status", "dropped"}, {"reason", "stale"}}; }

class CommandStaleness : public ::testing::Test {
 protected:
  // Without permission every command that runs logs the injector's PERMISSION line: a command that was
  // dropped leaves no line at all.
  ControlHarness harness_{/*withX=*/false, /*mayPost=*/false};

  Json sendLate(const std::string& line, std::chrono::milliseconds late) {
    auto pending = harness_.start(line);
    harness_.clock.advance(late);
    return harness_.await(pending);
  }
};

TEST_F(CommandStaleness, LatePointerAndKeyPressesAreDroppedUnrunAndUnlogged) {
  const std::vector<std::pair<std::string, std::string>> droppable = {
      {"mouseMove", R"({"type": "mouseMove", "x": 1, "y": 2})"},
      {"mouseMoveRel", R"({"type": "mouseMoveRel", "dx": 1})"},
      {"leftClick", R"({"type": "leftClick"})"},
      {"rightClick", R"({"type": "rightClick"})"},
      {"mouseDown", R"({"type": "mouseDown"})"},
      {"mouseDrag", R"({"type": "mouseDrag"})"},
      {"scroll", R"({"type": "scroll", "deltaY": 3})"},
      {"keyDown", R"({"type": "keyDown", "key": "a"})"},
      {"text", R"({"type": "text", "value": "abc"})"},
      // Dropped before its members are looked at.
      {"mouseMove", R"({"type": "mouseMove", "x": "abc"})"},
  };
  for (const auto& [type, line] : droppable) {
    SCOPED_TRACE(line);
    EXPECT_EQ(sendLate(line, 600ms), stale(type));
  }
  EXPECT_TRUE(harness_.messages().empty());
  EXPECT_EQ(harness_.metrics->lastCommand.get(), MetricsStore::placeholder);
  EXPECT_TRUE(harness_.metrics->events().get().empty());

  EXPECT_FALSE(InputCommandHandler::isDiscreteCommand(stale("mouseMove")));
  EXPECT_TRUE(InputCommandHandler::isDiscreteCommand(stale("leftClick")));
}

TEST_F(CommandStaleness, HalfASecondIsNotYetStale) {
  EXPECT_EQ(sendLate(R"({"type": "leftClick"})", 500ms),
            (Json{{"type", "leftClick"}, {"status", "ignored"}, {"reason", "accessibility-missing"}}));
  EXPECT_EQ(sendLate(R"({"type": "leftClick"})", 501ms), stale("leftClick"));
}

TEST_F(CommandStaleness, ReleasesAndRequestsRunHoweverLate) {
  EXPECT_EQ(sendLate(R"({"type": "mouseUp"})", 5s)["status"], "ignored");
  EXPECT_EQ(sendLate(R"({"type": "keyUp", "key": "a"})", 5s)["status"], "ignored");
  EXPECT_EQ(sendLate(R"({"type": "ping"})", 5s)["type"], "pong");
  EXPECT_EQ(sendLate(R"({"type": "hello"})", 5s)["status"], "ok");
  EXPECT_EQ(sendLate(R"({"type": "setQuality", "bitrate": 1})", 5s)["status"], "accepted");
  EXPECT_EQ(sendLate(R"({"type": "keyframe"})", 5s)["status"], "no-encoder");
  EXPECT_EQ(sendLate(R"({"type": "fly"})", 5s), (Json{{"type", "error"}, {"message", "unknown command: fly"}}));
  EXPECT_EQ(harness_.messagesContaining("Event-posting access missing").size(), 2u);
}

TEST(CommandLogging, ContinuousCommandsAreLoggedAtMostEveryQuarterSecond) {
  ControlHarness harness(/*withX=*/false, /*mayPost=*/false);
  const auto commandLines = [&] { return harness.messagesContaining("command: "); };

  harness.send(R"({"type": "mouseMove", "x": 1, "y": 2})");
  harness.clock.advance(100ms);
  harness.send(R"({"type": "mouseMove", "x": 3, "y": 4})");
  harness.send(R"({"type": "leftClick", "x": 5, "y": 6})");
  harness.clock.advance(100ms);
  harness.send(R"({"type": "scroll", "deltaY": 1})");
  harness.clock.advance(49ms);
  harness.send(R"({"type": "mouseDrag"})");
  harness.clock.advance(1ms);
  harness.send(R"({"type": "mouseMoveRel", "dy": 7})");

  EXPECT_EQ(commandLines(), (std::vector<std::string>{"command: pointer move (1, 2)", "command: left click (5, 6)",
                                                      "command: relative pointer move by (0, 7)"}));
  const std::vector<MetricsStore::LogEvent>& events = harness.metrics->events().get();
  ASSERT_EQ(events.size(), 3u);
  EXPECT_EQ(events[1].tag, "INPUT");
  EXPECT_EQ(events[1].message, "left click (5, 6)");
  EXPECT_EQ(harness.metrics->lastCommand.get(), "relative pointer move by (0, 7)");
  // The commands that were not logged still ran: each asked for permission.
  EXPECT_EQ(harness.messagesContaining("Event-posting access missing").size(), 6u);
}

TEST(CommandLogging, DescriptionsNameTheCommandButNeverKeysOrText) {
  ControlHarness harness(/*withX=*/false, /*mayPost=*/false);
  harness.metrics->availableDisplays.set({DisplayInfo{7, "Left", 960, 1080, 9100}});
  const std::vector<std::pair<std::string, std::string>> cases = {
      {R"({"type": "ping", "timestamp": 12.5})", "ping 12.5"},
      {R"({"type": "ping"})", "ping ?"},
      {R"({"type": "mouseMove", "x": "abc", "y": 1})", "pointer move (abc, 1)"},
      {R"({"type": "mouseDown", "x": 3.0})", "pointer down (3, ?)"},
      {R"({"type": "mouseUp"})", "pointer up (?, ?)"},
      {R"({"type": "rightClick", "x": -4, "y": 0.25})", "right click (-4, 0.25)"},
      {R"({"type": "scroll", "deltaX": 2})", "scroll (2, 0)"},
      {R"({"type": "keyDown", "key": "q"})", "key down"},
      {R"({"type": "keyUp", "key": "q"})", "key up"},
      {R"({"type": "text", "value": "hello"})", "text, 5 characters"},
      {"{\"type\": \"text\", \"value\": \"e\u0301!\"}", "text, 2 characters"},
      {R"({"type": "text", "value": 5})", "text, 0 characters"},
      {R"({"type": "setDisplay", "displayID": 7})", "select display 7"},
      {R"({"type": "setDisplay"})", "select display ?"},
      {R"({"type": "switchSpace", "direction": "down"})", "switch space down"},
      {R"({"type": "fly"})", "fly"},
  };
  for (const auto& [line, description] : cases) {
    SCOPED_TRACE(line);
    harness.clock.advance(1s);  // past the continuous-input throttle
    harness.send(line);
    EXPECT_EQ(harness.metrics->lastCommand.get(), description);
    EXPECT_EQ(harness.messagesContaining("command: ").back(), "command: " + description);
  }
  // Refused before the log step: out-of-range display identifiers and superseded phone commands.
  const std::size_t logged = harness.metrics->events().get().size();
  harness.send(R"({"type": "ping", "displayID": -3})");
  harness.send(R"({"type": "ping", "phonePointer": true, "pointerSession": "s", "pointerSequence": 2})");
  harness.send(R"({"type": "ping", "phonePointer": true, "pointerSession": "s", "pointerSequence": 2})");
  EXPECT_EQ(harness.metrics->events().get().size(), logged + 1);
}

TEST(CommandIntakeThreads, CallersOnOtherThreadsAllGetTheirReplies) {
  ControlHarness harness(/*withX=*/false);
  constexpr int callers = 4;
  constexpr int linesEach = 50;
  std::atomic<int> pongs{0};
  std::atomic<int> others{0};
  for (int c = 0; c < callers; ++c) {
    const Strand strand = makeActorStrand();
    for (int i = 0; i < linesEach; ++i) {
      asio::co_spawn(strand, harness.handler->handle(R"({"type": "ping", "timestamp": )" + std::to_string(i) + "}"),
                     [&, i](std::exception_ptr error, Json reply) {
                       const bool ok = !error && reply["type"] == "pong" && reply["clientTimestamp"] == double(i);
                       (ok ? pongs : others)++;
                     });
    }
  }
  EXPECT_TRUE(harness.loop.runUntil([&] { return pongs + others == callers * linesEach; }, 10s));
  EXPECT_EQ(pongs, callers * linesEach);
  EXPECT_EQ(others, 0);
}

// Replies handed to an observer, as a sender would take them.
struct ObservedReplies {
  InputCommandHandler::ReplyObserver observer() {
    return [replies = replies](const Json& reply) { replies->push_back(reply); };
  }
  std::shared_ptr<std::vector<Json>> replies = std::make_shared<std::vector<Json>>();
};

TEST(CommandReplyObserver, GetsTheReplyOnceInTheMainStepBeforeTheCallerResumes) {
  ControlHarness harness(/*withX=*/false);
  ObservedReplies observed;
  auto pending = harness.start(R"({"type": "ping", "timestamp": 5})", observed.observer());
  EXPECT_TRUE(observed.replies->empty());
  harness.loop.drain();  // the main step only; the caller has not run since
  ASSERT_EQ(observed.replies->size(), 1u);
  EXPECT_EQ((*observed.replies)[0]["type"], "pong");
  EXPECT_FALSE(pending->ready());
  EXPECT_EQ(harness.await(pending), (*observed.replies)[0]);
  harness.settle();
  EXPECT_EQ(observed.replies->size(), 1u);

  // Replies that are not sent reach it too: whether to send is the caller's choice.
  harness.send(R"({"type": "mouseMove", "x": 1, "y": 1})");
  auto move = harness.start(R"({"type": "mouseMove", "x": 1, "y": 1})", observed.observer());
  harness.await(move);
  ASSERT_EQ(observed.replies->size(), 2u);
  EXPECT_EQ((*observed.replies)[1]["type"], "mouseMove");
}

TEST(CommandIntakeThreads, ALineReachingAGoneHandlerIsAnswered) {
  ControlHarness harness(/*withX=*/false);
  ObservedReplies observed;
  auto pending = harness.start(R"({"type": "hello"})", observed.observer());
  harness.handler.reset();
  const Json unavailable = {{"type", "error"}, {"message", "handler unavailable"}};
  EXPECT_EQ(harness.await(pending), unavailable);
  EXPECT_EQ(*observed.replies, std::vector<Json>{unavailable});
}

TEST(CommandIntakeThreads, ALineThatNoMainLoopCanRunIsAnswered) {
  VirtualClock clock;
  std::shared_ptr<InputCommandHandler> handler;
  {
    MainLoopForTests loop;
    handler = InputCommandHandler::create(InputController::create(nullptr, [] { return true; }, clock),
                                          std::make_shared<MetricsStore>(), clock);
  }  // the main loop is gone: blocks for it are thrown away
  asio::io_context caller;
  std::optional<Json> reply;
  asio::co_spawn(caller, handler->handle(R"({"type": "hello"})"),
                 [&](std::exception_ptr, Json value) { reply = std::move(value); });
  caller.run_for(2s);
  EXPECT_EQ(reply, (Json{{"type", "error"}, {"message", "handler unavailable"}}));
}

}  // namespace
}  // namespace veltrano::test

TEST(MainThreadCall, AStepAfterTheMainLoopIsGoneIsCancelledInsteadOfCrashing) {
  { veltrano::MainLoopForTests gone; }
  std::function<int()> step = [] { return 1; };
  EXPECT_THROW(veltrano::testing::runBlocking(veltrano::onMainThread(std::move(step))), veltrano::CancellationError);
}
