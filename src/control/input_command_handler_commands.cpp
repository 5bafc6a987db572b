// The per-command step of InputCommandHandler: each command type reads and validates its members, does its
// effect and builds the reply. Main thread.
#include <fmt/format.h>

#include <chrono>

#include "control/main_task.hpp"
#include "control/command_members.hpp"
#include "control/command_replies.hpp"
#include "control/input_command_handler.hpp"
#include "control/unicode_text.hpp"
#include "core/app_logger.hpp"

namespace veltrano {

namespace members = command_members;

namespace {

constexpr std::int64_t maximumBitRate = 50'000'000;
constexpr std::int64_t maximumFrameRate = 120;
constexpr std::int64_t smallestUsableBitRate = 200'000;
constexpr std::int64_t defaultBitRate = 5'000'000;
constexpr std::int64_t smallestUsableFrameRate = 5;
constexpr std::int64_t defaultFrameRate = 30;
constexpr double longestMeasuredRttMs = 60'000;

bool isButtonCommand(std::string_view type) {
  return type == "leftClick" || type == "rightClick" || type == "mouseDown" || type == "mouseDrag" ||
         type == "mouseUp";
}

}  // namespace

std::optional<InputCommandHandler::StepOutcome> InputCommandHandler::runCommand(const Command& command,
                                                                                const Completion& done) {
  const std::string& type = command.type;
  const json::Json& object = command.object;
  const auto reply = [](json::Json value) { return std::optional<StepOutcome>(StepOutcome{std::move(value), {}}); };
  const auto resultReply = [&](const InputResult& result) { return reply(makeCommandReply(type, result)); };

  if (type == "ping") return reply(ping(command));
  if (type == "hello") return reply({{"type", "hello"}, {"status", "ok"}});

  if (type == "mouseMove") {
    const std::optional<double> x = members::doubleValue(object, "x");
    const std::optional<double> y = members::doubleValue(object, "y");
    if (!x || !y || std::fabs(*x) > members::pointLimit || std::fabs(*y) > members::pointLimit) {
      return reply(errorReply("mouseMove requires finite x,y"));
    }
    return resultReply(input_->moveMouse(*x, *y, command.displayID));
  }
  if (type == "mouseMoveRel") {
    const std::optional<double> dx = members::boundedNumber(object, "dx", members::relativeMoveLimit, 0);
    const std::optional<double> dy = members::boundedNumber(object, "dy", members::relativeMoveLimit, 0);
    if (!dx || !dy) return reply(errorReply("mouseMoveRel requires finite dx,dy"));
    return resultReply(input_->moveMouseRel(*dx, *dy));
  }
  if (isButtonCommand(type)) {
    const std::optional<std::optional<Point>> point = members::parsePoint(object);
    if (!point) return reply(errorReply(type + " requires finite x,y"));
    if (type == "leftClick") return resultReply(input_->leftClick(*point, command.displayID));
    if (type == "rightClick") return resultReply(input_->rightClick(*point, command.displayID));
    if (type == "mouseDrag") return resultReply(input_->mouseDrag(*point, command.displayID));
    if (type == "mouseDown") {
      const InputResult result = input_->mouseDown(*point, command.displayID);
      // The drag belongs to the phone session that pressed (none for a plain command).
      if (result.isOk()) activePhoneDragSessionID_ = command.pointerSession;
      return resultReply(result);
    }
    const InputResult result = input_->mouseUp(*point, command.displayID);
    activePhoneDragSessionID_.reset();
    return resultReply(result);
  }
  if (type == "scroll") {
    const std::optional<double> deltaX = members::boundedNumber(object, "deltaX", members::scrollDeltaLimit, 0);
    const std::optional<double> deltaY = members::boundedNumber(object, "deltaY", members::scrollDeltaLimit, 0);
    if (!deltaX || !deltaY) return reply(errorReply("scroll requires finite deltaX,deltaY"));
    return resultReply(input_->scroll(*deltaX, *deltaY));
  }
  if (type == "keyDown" || type == "keyUp") {
    const std::optional<std::string> key = members::parseKeyName(object);
    if (!key) return reply(errorReply(type + " requires a valid key"));
    return resultReply(type == "keyDown" ? input_->keyDown(*key) : input_->keyUp(*key));
  }
  if (type == "text") return typeText(command, done);
  if (type == "keyframe") return reply(keyframe(command));
  if (type == "setDisplay") return setDisplay(command);
  if (type == "setQuality") return reply(setQuality(command));
  if (type == "switchSpace") return switchSpace(command);
  return reply(errorReply("unknown command: " + type));
}

json::Json InputCommandHandler::ping(const Command& command) {
  json::Json reply = pongReply(command.object);
  // The client's own measurement, stored as it is when plausible.
  if (const std::optional<double> rtt = plausibleMeasuredRtt(command.object)) metrics_->averagePingMs.set(*rtt);
  return reply;
}

json::Json InputCommandHandler::pongReply(const json::Json& command) {
  const double clientTimestamp = members::doubleValue(command, "timestamp").value_or(0);
  const double serverTimestamp =
      std::chrono::duration<double, std::milli>(std::chrono::system_clock::now().time_since_epoch()).count();
  return {{"type", "pong"}, {"clientTimestamp", clientTimestamp}, {"serverTimestamp", serverTimestamp}};
}

std::optional<double> InputCommandHandler::plausibleMeasuredRtt(const json::Json& command) {
  const std::optional<double> rtt = members::doubleValue(command, "measuredRttMs");
  if (rtt && *rtt >= 0 && *rtt <= longestMeasuredRttMs) return rtt;
  return std::nullopt;
}

json::Json InputCommandHandler::keyframe(const Command& command) {
  if (hostCallbacks_ && hostCallbacks_->keyframeRequest) {
    hostCallbacks_->keyframeRequest();
    command.log.write("keyframe", LogCategory::INPUT, [] { return "keyframe requested (all streams)"; });
    return {{"type", "keyframe"}, {"status", "ok"}};
  }
  std::shared_ptr<KeyframeRequestTarget> target = activeEncoder_.lock();
  if (!target) return {{"type", "keyframe"}, {"status", "no-encoder"}};
  target->requestKeyframe();
  command.log.write("keyframe", LogCategory::INPUT, [] { return "keyframe requested (active)"; });
  return {{"type", "keyframe"}, {"status", "ok"}};
}

json::Json InputCommandHandler::setQuality(const Command& command) {
  const std::optional<std::int64_t> bitrate = members::intValue(command.object, "bitrate", 0);
  const std::optional<std::int64_t> maxFps = members::intValue(command.object, "maxFps", 0);
  if (!bitrate || !maxFps || *bitrate < 0 || *bitrate > maximumBitRate || *maxFps < 0 ||
      *maxFps > maximumFrameRate) {
    return errorReply("setQuality values are out of range");
  }
  if (*bitrate != 0 || *maxFps != 0) {
    const std::int64_t bitRate = *bitrate > smallestUsableBitRate ? *bitrate : defaultBitRate;
    const auto frameRate = static_cast<std::int32_t>(*maxFps > smallestUsableFrameRate ? *maxFps : defaultFrameRate);
    if (hostCallbacks_ && hostCallbacks_->qualityChange) hostCallbacks_->qualityChange(bitRate, frameRate);
    command.log.write("setQuality", LogCategory::INPUT,
                      [&] { return fmt::format("setQuality bitrate={} fps={}", bitRate, frameRate); });
  }
  return {{"type", "setQuality"}, {"status", "accepted"}};
}

std::optional<InputCommandHandler::StepOutcome> InputCommandHandler::typeText(const Command& command,
                                                                              const Completion& done) {
  const std::optional<std::string> value = json::stringMember(command.object, "value");
  if (!value || hasMoreCharactersThan(*value, members::textCharacterLimit)) {
    return StepOutcome{errorReply("text is missing or too long"), {}};
  }
  // Long texts are typed in slices with the main loop free in between; the reply waits for the last one.
  spawnMainTask([input = input_, text = *value, done](TaskToken) -> asio::awaitable<void> {
    InputResult result = InputResult::failed("typeText: no event");
    try {
      result = co_await input->typeText(text);
    } catch (...) {
      // Answered as not typed.
    }
    done.resume(StepOutcome{makeCommandReply("text", result), {}});
  });
  return std::nullopt;
}

void InputCommandHandler::registerPhoneCommand(const std::optional<std::string>& key, const Task& task) {
  if (key) phoneCommandCompletions_.insert_or_assign(*key, task);
}

}  // namespace veltrano
