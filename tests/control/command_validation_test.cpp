// Every malformed or out-of-range command gets its specified error reply, word for word, and valid ones
// get through to the injector (which here may not post, so they answer "ignored").
#include "control_test_support.hpp"

#include <stdexcept>

namespace veltrano::test {
namespace {

struct ReplyCase {
  std::string line;
  Json expected;
};

void PrintTo(const ReplyCase& c, std::ostream* os) { *os << c.line; }

Json error(const std::string& message) { return {{"type", "error"}, {"message", message}}; }
Json ignored(const std::string& type) {
  return {{"type", type}, {"status", "ignored"}, {"reason", "accessibility-missing"}};
}

class CommandReplies : public ::testing::TestWithParam<ReplyCase> {};

TEST_P(CommandReplies, AnswerWithTheirExpectedReply) {
  ControlHarness harness(/*withX=*/false, /*mayPost=*/false);
  harness.metrics->availableDisplays.set({DisplayInfo{5, "Left", 960, 1080, 9100}});
  EXPECT_EQ(harness.send(GetParam().line), GetParam().expected);
}

const std::string longKey(33, 'a');

INSTANTIATE_TEST_SUITE_P(
    Intake, CommandReplies,
    ::testing::Values(ReplyCase{R"([1])", error("missing 'type'")}, ReplyCase{R"({})", error("missing 'type'")},
                      ReplyCase{R"({"type": 3})", error("missing 'type'")},
                      ReplyCase{R"({"type": null})", error("missing 'type'")},
                      ReplyCase{"\xff\xfe", error("invalid utf8")},
                      ReplyCase{"{\"type\": \"text\", \"value\": \"\xed\xa0\x80\"}", error("invalid utf8")},
                      ReplyCase{R"({"type": "fly"})", error("unknown command: fly")},
                      ReplyCase{R"({"type": "hello", "extra": [1, 2]})", {{"type", "hello"}, {"status", "ok"}}}));

INSTANTIATE_TEST_SUITE_P(
    DisplayIdentifier, CommandReplies,
    ::testing::Values(ReplyCase{R"({"type": "mouseMove", "x": 1, "y": 1, "displayID": -1})", error("displayID is out of range")},
                      ReplyCase{R"({"type": "ping", "displayID": 1.5})", error("displayID is out of range")},
                      ReplyCase{R"({"type": "ping", "displayID": 4294967296})", error("displayID is out of range")},
                      ReplyCase{R"({"type": "ping", "displayID": "1"})", error("displayID is out of range")},
                      ReplyCase{R"({"type": "ping", "displayID": null})", error("displayID is out of range")},
                      ReplyCase{R"({"type": "ping", "displayID": true})", error("displayID is out of range")},
                      ReplyCase{R"({"type": "fly", "displayID": 1e30})", error("displayID is out of range")},
                      ReplyCase{R"({"type": "leftClick", "displayID": 2.0})", ignored("leftClick")},
                      ReplyCase{R"({"type": "leftClick", "displayID": 4294967295})", ignored("leftClick")}));

INSTANTIATE_TEST_SUITE_P(
    Pointer, CommandReplies,
    ::testing::Values(
        ReplyCase{R"({"type": "mouseMove", "x": 10})", error("mouseMove requires finite x,y")},
        ReplyCase{R"({"type": "mouseMove", "x": 10, "y": 1000001})", error("mouseMove requires finite x,y")},
        ReplyCase{R"({"type": "mouseMove", "x": "abc", "y": 1})", error("mouseMove requires finite x,y")},
        ReplyCase{R"({"type": "mouseMove", "x": true, "y": 1})", error("mouseMove requires finite x,y")},
        ReplyCase{R"({"type": "mouseMove", "x": -1000000, "y": 1000000.0})", ignored("mouseMove")},
        ReplyCase{R"({"type": "mouseMoveRel", "dx": 100001})", error("mouseMoveRel requires finite dx,dy")},
        ReplyCase{R"({"type": "mouseMoveRel", "dy": null})", error("mouseMoveRel requires finite dx,dy")},
        ReplyCase{R"({"type": "mouseMoveRel", "dx": 5})", ignored("mouseMoveRel")},
        ReplyCase{R"({"type": "mouseMoveRel"})", ignored("mouseMoveRel")},
        ReplyCase{R"({"type": "leftClick", "x": 10})", error("leftClick requires finite x,y")},
        ReplyCase{R"({"type": "leftClick", "x": "10", "y": 5})", error("leftClick requires finite x,y")},
        ReplyCase{R"({"type": "leftClick"})", ignored("leftClick")},
        ReplyCase{R"({"type": "rightClick", "y": 5})", error("rightClick requires finite x,y")},
        ReplyCase{R"({"type": "mouseDown", "x": 1e7, "y": 5})", error("mouseDown requires finite x,y")},
        ReplyCase{R"({"type": "mouseDrag", "x": null, "y": 5})", error("mouseDrag requires finite x,y")},
        ReplyCase{R"({"type": "mouseUp", "x": [1], "y": 5})", error("mouseUp requires finite x,y")},
        ReplyCase{R"({"type": "mouseUp", "x": 1, "y": 5})", ignored("mouseUp")},
        ReplyCase{R"({"type": "scroll", "deltaY": 10001})", error("scroll requires finite deltaX,deltaY")},
        ReplyCase{R"({"type": "scroll", "deltaX": "1"})", error("scroll requires finite deltaX,deltaY")},
        ReplyCase{R"({"type": "scroll", "deltaY": -10000})", ignored("scroll")}));

INSTANTIATE_TEST_SUITE_P(
    Keys, CommandReplies,
    ::testing::Values(ReplyCase{R"({"type": "keyDown", "key": "Shift"})", ignored("keyDown")},
                      ReplyCase{R"({"type": "keyDown", "key": "PAGEUP"})", ignored("keyDown")},
                      ReplyCase{"{\"type\": \"keyDown\", \"key\": \"\u00e9\"}", ignored("keyDown")},
                      ReplyCase{"{\"type\": \"keyUp\", \"key\": \"\U0001F600\"}", ignored("keyUp")},
                      ReplyCase{"{\"type\": \"keyDown\", \"key\": \"e\u0301\"}", error("keyDown requires a valid key")},
                      ReplyCase{R"({"type": "keyDown", "key": "ab"})", error("keyDown requires a valid key")},
                      ReplyCase{R"({"type": "keyDown", "key": "f5"})", error("keyDown requires a valid key")},
                      ReplyCase{R"({"type": "keyDown", "key": ""})", error("keyDown requires a valid key")},
                      ReplyCase{R"({"type": "keyDown", "key": ")" + longKey + R"("})", error("keyDown requires a valid key")},
                      ReplyCase{R"({"type": "keyDown", "key": 65})", error("keyDown requires a valid key")},
                      ReplyCase{R"({"type": "keyUp"})", error("keyUp requires a valid key")}));

std::string repeated(const std::string& piece, int times) {
  std::string text;
  for (int i = 0; i < times; ++i) text += piece;
  return text;
}

INSTANTIATE_TEST_SUITE_P(
    Text, CommandReplies,
    ::testing::Values(ReplyCase{R"({"type": "text", "value": 5})", error("text is missing or too long")},
                      ReplyCase{R"({"type": "text"})", error("text is missing or too long")},
                      ReplyCase{R"({"type": "text", "value": ")" + std::string(8193, 'a') + R"("})",
                                error("text is missing or too long")},
                      ReplyCase{R"({"type": "text", "value": ")" + std::string(8192, 'a') + R"("})", ignored("text")},
                      // 8192 characters of two scalars each (a thumb with a skin tone) are within the limit.
                      ReplyCase{R"({"type": "text", "value": ")" + repeated("\U0001F44D\U0001F3FD", 8192) + R"("})",
                                ignored("text")}));

INSTANTIATE_TEST_SUITE_P(
    Requests, CommandReplies,
    ::testing::Values(
        ReplyCase{R"({"type": "setQuality", "maxFps": 121})", error("setQuality values are out of range")},
        ReplyCase{R"({"type": "setQuality", "maxFps": -1})", error("setQuality values are out of range")},
        ReplyCase{R"({"type": "setQuality", "bitrate": "8000000"})", error("setQuality values are out of range")},
        ReplyCase{R"({"type": "setQuality", "bitrate": 50000001})", error("setQuality values are out of range")},
        ReplyCase{R"({"type": "setQuality", "bitrate": 1.5})", error("setQuality values are out of range")},
        ReplyCase{R"({"type": "setQuality", "bitrate": 0, "maxFps": 0})", {{"type", "setQuality"}, {"status", "accepted"}}},
        ReplyCase{R"({"type": "setDisplay"})", error("setDisplay requires displayID")},
        ReplyCase{R"({"type": "setDisplay", "displayID": 99})", error("setDisplay references an unavailable display")},
        ReplyCase{R"({"type": "setDisplay", "displayID": 5})", {{"type", "setDisplay"}, {"status", "accepted"}}},
        ReplyCase{R"({"type": "switchSpace", "direction": "down"})", error("switchSpace bad direction: down")},
        ReplyCase{R"({"type": "switchSpace", "direction": "Left"})", error("switchSpace bad direction: Left")},
        ReplyCase{R"({"type": "switchSpace", "direction": 3})", error("switchSpace requires direction")},
        ReplyCase{R"({"type": "switchSpace"})", error("switchSpace requires direction")},
        ReplyCase{R"({"type": "keyframe"})", {{"type", "keyframe"}, {"status", "no-encoder"}}}));

TEST(CommandIntake, UnparsableLinesAnswerWithTheParserText) {
  ControlHarness harness(/*withX=*/false);
  for (const std::string line : {"5", "{", "", "\"text\"", "{\"type\": \"ping\", \"x\": 1e400}"}) {
    SCOPED_TRACE(line);
    const Json reply = harness.send(line);
    EXPECT_EQ(reply["type"], "error");
    const std::string message = reply.value("message", "");
    EXPECT_TRUE(message.starts_with("invalid json: ")) << message;
    EXPECT_GT(message.size(), std::string("invalid json: ").size());
  }
}

TEST(CommandRequests, PingEchoesTheClientAndKeepsAPlausibleRoundTrip) {
  ControlHarness harness(/*withX=*/false);
  const double before =
      std::chrono::duration<double, std::milli>(std::chrono::system_clock::now().time_since_epoch()).count();
  Json reply = harness.send(R"({"type": "ping", "timestamp": 1700000000000, "measuredRttMs": 70000})");
  const double after =
      std::chrono::duration<double, std::milli>(std::chrono::system_clock::now().time_since_epoch()).count();
  EXPECT_EQ(reply.size(), 3u);
  EXPECT_EQ(reply["type"], "pong");
  EXPECT_TRUE(reply["clientTimestamp"].is_number_float());
  EXPECT_EQ(reply["clientTimestamp"].get<double>(), 1700000000000.0);
  EXPECT_TRUE(reply["serverTimestamp"].is_number_float());
  EXPECT_GE(reply["serverTimestamp"].get<double>(), before);
  EXPECT_LE(reply["serverTimestamp"].get<double>(), after);
  EXPECT_EQ(harness.metrics->averagePingMs.get(), 0);

  reply = harness.send(R"({"type": "ping", "measuredRttMs": 42.5})");
  EXPECT_EQ(reply["clientTimestamp"].get<double>(), 0);
  EXPECT_EQ(harness.metrics->averagePingMs.get(), 42.5);
  harness.send(R"({"type": "ping", "measuredRttMs": -1})");
  harness.send(R"({"type": "ping", "measuredRttMs": "5"})");
  EXPECT_EQ(harness.metrics->averagePingMs.get(), 42.5);
}

TEST(CommandRequests, QualityReachesTheHostWithSubstitutesForTinyValues) {
  const Json accepted = {{"type", "setQuality"}, {"status", "accepted"}};
  {
    // Without a callback the request is still accepted and logged.
    ControlHarness harness(/*withX=*/false);
    EXPECT_EQ(harness.send(R"({"type": "setQuality", "bitrate": 300000, "maxFps": 24})"), accepted);
    EXPECT_EQ(harness.messagesContaining("setQuality bitrate=").back(), "setQuality bitrate=300000 fps=24");
  }
  ControlHarness harness(/*withX=*/false);
  std::vector<std::pair<std::int64_t, std::int32_t>> calls;
  InputCommandHandler::HostCallbacks callbacks;
  callbacks.qualityChange = [&](std::int64_t bitRate, std::int32_t fps) { calls.emplace_back(bitRate, fps); };
  harness.handler->setHostCallbacks(callbacks);
  EXPECT_THROW(harness.handler->setHostCallbacks({}), std::logic_error) << "set once";
  EXPECT_EQ(harness.send(R"({"type": "setQuality", "bitrate": 8000000})"), accepted);
  EXPECT_EQ(harness.send(R"({"type": "setQuality", "bitrate": 100000, "maxFps": 60})"), accepted);
  EXPECT_EQ(harness.send(R"({"type": "setQuality", "maxFps": 5.0})"), accepted);
  EXPECT_EQ(harness.send(R"({"type": "setQuality", "bitrate": 0, "maxFps": 0})"), accepted);
  EXPECT_EQ(harness.send(R"({"type": "setQuality", "maxFps": 121})")["type"], "error");
  const std::vector<std::pair<std::int64_t, std::int32_t>> expected = {{8000000, 30}, {5000000, 60}, {5000000, 30}};
  EXPECT_EQ(calls, expected);
  EXPECT_EQ(harness.messagesContaining("setQuality bitrate="),
            (std::vector<std::string>{"setQuality bitrate=8000000 fps=30", "setQuality bitrate=5000000 fps=60",
                                      "setQuality bitrate=5000000 fps=30"}));
}

// The encoder of the active display as the handler sees it.
class RecordingKeyframeTarget final : public KeyframeRequestTarget {
 public:
  void requestKeyframe() override { ++requests; }
  int requests = 0;
};

TEST(CommandRequests, KeyframeGoesToTheHostOrElseTheActiveEncoder) {
  const Json ok = {{"type", "keyframe"}, {"status", "ok"}};
  const Json noEncoder = {{"type", "keyframe"}, {"status", "no-encoder"}};
  auto encoder = std::make_shared<RecordingKeyframeTarget>();
  {
    ControlHarness harness(/*withX=*/false);
    EXPECT_EQ(harness.send(R"({"type": "keyframe"})"), noEncoder);
    harness.handler->setActiveEncoder(encoder);
    EXPECT_EQ(harness.send(R"({"type": "keyframe"})"), ok);
    harness.settle();
    EXPECT_EQ(encoder->requests, 1);
    EXPECT_EQ(harness.messagesContaining("keyframe requested"),
              std::vector<std::string>{"keyframe requested (active)"});
    // An encoder that has gone away counts as none.
    encoder.reset();
    EXPECT_EQ(harness.send(R"({"type": "keyframe"})"), noEncoder);
  }
  ControlHarness harness(/*withX=*/false);
  int hostRequests = 0;
  InputCommandHandler::HostCallbacks callbacks;
  callbacks.keyframeRequest = [&] { ++hostRequests; };
  harness.handler->setHostCallbacks(callbacks);
  EXPECT_EQ(harness.send(R"({"type": "keyframe"})"), ok);
  EXPECT_EQ(hostRequests, 1);
  EXPECT_EQ(harness.messagesContaining("keyframe requested").back(), "keyframe requested (all streams)");
}

TEST(CommandReplyRule, OnlyContinuousPointerRepliesAreNotSent) {
  EXPECT_FALSE(InputCommandHandler::isDiscreteCommand({{"type", "mouseMove"}, {"status", "ok"}}));
  EXPECT_FALSE(InputCommandHandler::isDiscreteCommand({{"type", "mouseMoveRel"}}));
  EXPECT_FALSE(InputCommandHandler::isDiscreteCommand({{"type", "mouseDrag"}, {"status", "dropped"}}));
  EXPECT_FALSE(InputCommandHandler::isDiscreteCommand({{"type", "scroll"}, {"status", "ignored"}}));
  EXPECT_TRUE(InputCommandHandler::isDiscreteCommand({{"type", "error"}, {"message", "mouseMove requires finite x,y"}}));
  EXPECT_TRUE(InputCommandHandler::isDiscreteCommand({{"type", "leftClick"}, {"status", "dropped"}}));
  EXPECT_TRUE(InputCommandHandler::isDiscreteCommand({{"type", 3}}));
  EXPECT_TRUE(InputCommandHandler::isDiscreteCommand(Json::object()));

  // Without permission a click is answered and a move is not.
  ControlHarness harness(/*withX=*/false, /*mayPost=*/false);
  EXPECT_TRUE(InputCommandHandler::isDiscreteCommand(harness.send(R"({"type": "leftClick"})")));
  EXPECT_FALSE(InputCommandHandler::isDiscreteCommand(harness.send(R"({"type": "mouseMove", "x": 1, "y": 2})")));
}

TEST(CommandReplyRule, InjectorFailuresKeepTheCommandType) {
  ControlHarness harness(/*withX=*/false, /*mayPost=*/true);
  EXPECT_EQ(harness.send(R"({"type": "leftClick", "x": 1, "y": 2})"),
            (Json{{"type", "leftClick"}, {"status", "error"}, {"message", "leftClick: no event"}}));
  EXPECT_EQ(harness.send(R"({"type": "mouseMoveRel", "dx": 1})"),
            (Json{{"type", "mouseMoveRel"}, {"status", "error"}, {"message", "moveMouseRel: no event"}}));
  EXPECT_EQ(harness.send(R"({"type": "text", "value": "hi"})"),
            (Json{{"type", "text"}, {"status", "error"}, {"message", "typeText: no event"}}));
}

TEST(CommandValidationX11, NothingMalformedReachesTheXServer) {
  VELTRANO_REQUIRE_X11();
  X11InputLock lock;
  auto window = X11EventWindow::open();
  ASSERT_NE(window, nullptr);
  ControlHarness harness(/*withX=*/true);
  window->discard();
  const std::vector<std::string> malformed = {
      "\xff{\"type\": \"leftClick\"}",
      R"([{"type": "leftClick"}])",
      R"({"type": "leftClick", "displayID": -1})",
      R"({"type": "mouseMove", "x": 10})",
      R"({"type": "mouseMove", "x": 1e300, "y": 1})",
      R"({"type": "mouseMoveRel", "dx": "5"})",
      R"({"type": "leftClick", "x": 10})",
      R"({"type": "rightClick", "x": 1, "y": -1000001})",
      R"({"type": "mouseDown", "x": false, "y": 1})",
      R"({"type": "mouseDrag", "y": 1})",
      R"({"type": "mouseUp", "x": {}, "y": 1})",
      R"({"type": "scroll", "deltaX": 1e5})",
      R"({"type": "keyDown", "key": "shiftlock"})",
      R"({"type": "keyUp", "key": ["a"]})",
      R"({"type": "text", "value": ")" + std::string(8193, 'q') + R"("})",
      R"({"type": "text", "value": null})",
      R"({"type": "switchSpace", "direction": "sideways"})",
      R"({"type": "setDisplay", "displayID": 77})",
  };
  for (const std::string& line : malformed) {
    SCOPED_TRACE(line);
    EXPECT_EQ(harness.send(line)["type"], "error");
  }
  harness.clock.advance(1s);
  EXPECT_TRUE(drainEvents(*window).empty());
}

}  // namespace
}  // namespace veltrano::test
