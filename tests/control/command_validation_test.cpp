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

// Every line of a group gets the group's reply.
std::vector<ReplyCase> cases(const std::vector<std::pair<Json, std::vector<std::string>>>& groups) {
  std::vector<ReplyCase> all;
  for (const auto& [reply, lines] : groups) {
    for (const std::string& line : lines) all.push_back({line, reply});
  }
  return all;
}

std::string repeated(const std::string& piece, int times) {
  std::string text;
  for (int i = 0; i < times; ++i) text += piece;
  return text;
}

INSTANTIATE_TEST_SUITE_P(
    Intake, CommandReplies,
    ::testing::ValuesIn(cases({
        {error("missing 'type'"), {R"([1])", R"({})", R"({"type": 3})", R"({"type": null})"}},
        {error("invalid utf8"), {"\xff\xfe", "{\"type\": \"text\", \"value\": \"\xed\xa0\x80\"}"}},
        {error("unknown command: fly"), {R"({"type": "fly"})"}},
        {{{"type", "hello"}, {"status", "ok"}}, {R"({"type": "hello", "extra": [1, 2]})"}},
    })));

INSTANTIATE_TEST_SUITE_P(
    DisplayIdentifier, CommandReplies,
    ::testing::ValuesIn(cases({
        {error("displayID is out of range"),
         {R"({"type": "mouseMove", "x": 1, "y": 1, "displayID": -1})", R"({"type": "ping", "displayID": 1.5})",
          R"({"type": "ping", "displayID": 4294967296})", R"({"type": "ping", "displayID": "1"})",
          R"({"type": "ping", "displayID": null})", R"({"type": "ping", "displayID": true})",
          R"({"type": "fly", "displayID": 1e30})"}},
        {ignored("leftClick"),
         {R"({"type": "leftClick", "displayID": 2.0})", R"({"type": "leftClick", "displayID": 4294967295})"}},
    })));

INSTANTIATE_TEST_SUITE_P(
    Pointer, CommandReplies,
    ::testing::ValuesIn(cases({
        {error("mouseMove requires finite x,y"),
         {R"({"type": "mouseMove", "x": 10})", R"({"type": "mouseMove", "x": 10, "y": 1000001})",
          R"({"type": "mouseMove", "x": "abc", "y": 1})", R"({"type": "mouseMove", "x": true, "y": 1})"}},
        {ignored("mouseMove"), {R"({"type": "mouseMove", "x": -1000000, "y": 1000000.0})"}},
        {error("mouseMoveRel requires finite dx,dy"),
         {R"({"type": "mouseMoveRel", "dx": 100001})", R"({"type": "mouseMoveRel", "dy": null})"}},
        {ignored("mouseMoveRel"), {R"({"type": "mouseMoveRel", "dx": 5})", R"({"type": "mouseMoveRel"})"}},
        {error("leftClick requires finite x,y"),
         {R"({"type": "leftClick", "x": 10})", R"({"type": "leftClick", "x": "10", "y": 5})"}},
        {ignored("leftClick"), {R"({"type": "leftClick"})"}},
        {error("rightClick requires finite x,y"), {R"({"type": "rightClick", "y": 5})"}},
        {error("mouseDown requires finite x,y"), {R"({"type": "mouseDown", "x": 1e7, "y": 5})"}},
        {error("mouseDrag requires finite x,y"), {R"({"type": "mouseDrag", "x": null, "y": 5})"}},
        {error("mouseUp requires finite x,y"), {R"({"type": "mouseUp", "x": [1], "y": 5})"}},
        {ignored("mouseUp"), {R"({"type": "mouseUp", "x": 1, "y": 5})"}},
        {error("scroll requires finite deltaX,deltaY"),
         {R"({"type": "scroll", "deltaY": 10001})", R"({"type": "scroll", "deltaX": "1"})"}},
        {ignored("scroll"), {R"({"type": "scroll", "deltaY": -10000})"}},
    })));

INSTANTIATE_TEST_SUITE_P(
    Keys, CommandReplies,
    ::testing::ValuesIn(cases({
        {ignored("keyDown"),
         {R"({"type": "keyDown", "key": "Shift"})", R"({"type": "keyDown", "key": "PAGEUP"})",
          "{\"type\": \"keyDown\", \"key\": \"\u00e9\"}"}},
        {ignored("keyUp"), {"{\"type\": \"keyUp\", \"key\": \"\U0001F600\"}"}},
        {error("keyDown requires a valid key"),
         {"{\"type\": \"keyDown\", \"key\": \"e\u0301\"}", R"({"type": "keyDown", "key": "ab"})",
          R"({"type": "keyDown", "key": "f5"})", R"({"type": "keyDown", "key": ""})",
          R"({"type": "keyDown", "key": ")" + std::string(33, 'a') + R"("})", R"({"type": "keyDown", "key": 65})"}},
        {error("keyUp requires a valid key"), {R"({"type": "keyUp"})"}},
    })));

INSTANTIATE_TEST_SUITE_P(
    Text, CommandReplies,
    ::testing::ValuesIn(cases({
        {error("text is missing or too long"),
         {R"({"type": "text", "value": 5})", R"({"type": "text"})",
          R"({"type": "text", "value": ")" + std::string(8193, 'a') + R"("})"}},
        // 8192 characters of two scalars each (a thumb with a skin tone) are within the limit.
        {ignored("text"),
         {R"({"type": "text", "value": ")" + std::string(8192, 'a') + R"("})",
          R"({"type": "text", "value": ")" + repeated("\U0001F44D\U0001F3FD", 8192) + R"("})"}},
    })));

INSTANTIATE_TEST_SUITE_P(
    Requests, CommandReplies,
    ::testing::ValuesIn(cases({
        {error("setQuality values are out of range"),
         {R"({"type": "setQuality", "maxFps": 121})", R"({"type": "setQuality", "maxFps": -1})",
          R"({"type": "setQuality", "bitrate": "8000000"})", R"({"type": "setQuality", "bitrate": 50000001})",
          R"({"type": "setQuality", "bitrate": 1.5})"}},
        {{{"type", "setQuality"}, {"status", "accepted"}}, {R"({"type": "setQuality", "bitrate": 0, "maxFps": 0})"}},
        {error("setDisplay requires displayID"), {R"({"type": "setDisplay"})"}},
        {error("setDisplay references an unavailable display"), {R"({"type": "setDisplay", "displayID": 99})"}},
        {{{"type", "setDisplay"}, {"status", "accepted"}}, {R"({"type": "setDisplay", "displayID": 5})"}},
        {error("switchSpace bad direction: down"), {R"({"type": "switchSpace", "direction": "down"})"}},
        {error("switchSpace bad direction: Left"), {R"({"type": "switchSpace", "direction": "Left"})"}},
        {error("switchSpace requires direction"),
         {R"({"type": "switchSpace", "direction": 3})", R"({"type": "switchSpace"})"}},
        {{{"type", "keyframe"}, {"status", "no-encoder"}}, {R"({"type": "keyframe"})"}},
    })));

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

TEST(CommandReplyRule, InjectorFailuresKeepTheCommandType) {
  ControlHarness harness(/*withX=*/false, /*mayPost=*/true);
  EXPECT_EQ(harness.send(R"({"type": "leftClick", "x": 1, "y": 2})"),
            (Json{{"type", "leftClick"}, {"status", "error"}, {"message", "leftClick: no event"}}));
  EXPECT_EQ(harness.send(R"({"type": "mouseMoveRel", "dx": 1})"),
            (Json{{"type", "mouseMoveRel"}, {"status", "error"}, {"message", "moveMouseRel: no event"}}));
  EXPECT_EQ(harness.send(R"({"type": "text", "value": "hi"})"),
            (Json{{"type", "text"}, {"status", "error"}, {"message", "typeText: no event"}}));
}

using CommandValidationX11 = ControlHarnessX11Test;

TEST_F(CommandValidationX11, NothingMalformedReachesTheXServer) {
  for (const std::string line : {"\xff{\"type\": \"leftClick\"}", R"([{"type": "leftClick"}])",
                                 R"({"type": "leftClick", "displayID": -1})", R"({"type": "mouseMove", "x": 1e300, "y": 1})",
                                 R"({"type": "mouseDown", "x": false, "y": 1})", R"({"type": "scroll", "deltaX": 1e5})",
                                 R"({"type": "keyDown", "key": "shiftlock"})", R"({"type": "text", "value": null})",
                                 R"({"type": "switchSpace", "direction": "sideways"})"}) {
    SCOPED_TRACE(line);
    EXPECT_EQ(harness_->send(line)["type"], "error");
  }
  harness_->clock.advance(1s);
  EXPECT_TRUE(drainEvents(*window_).empty());
}

}  // namespace
}  // namespace veltrano::test
