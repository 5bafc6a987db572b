#include "control/input_command_handler.hpp"
#include "base/thread_checks.hpp"

#include <boost/asio/steady_timer.hpp>

#include <algorithm>
#include <array>
#include <atomic>
#include <limits>
#include <stdexcept>

#include "base/executors.hpp"
#include "base/main_thread_call.hpp"
#include "control/command_log_description.hpp"
#include "control/command_members.hpp"
#include "control/command_replies.hpp"
#include "control/control_localized_strings.hpp"
#include "control/unicode_text.hpp"
#include "core/app_logger.hpp"

namespace veltrano {

namespace {

constexpr std::array<std::string_view, 9> droppableTypes = {
    "mouseMove", "mouseMoveRel", "leftClick", "rightClick", "mouseDown", "mouseDrag", "scroll", "keyDown", "text"};
constexpr std::array<std::string_view, 4> continuousTypes = {"mouseMove", "mouseMoveRel", "mouseDrag", "scroll"};

template <std::size_t N>
bool isOneOf(std::string_view type, const std::array<std::string_view, N>& types) {
  return std::find(types.begin(), types.end(), type) != types.end();
}

json::Json handlerUnavailableReply() { return errorReply("handler unavailable"); }

const json::Json* objectMember(const json::Json& object, std::string_view key) {
  if (!object.is_object()) return nullptr;
  auto it = object.find(key);
  return it == object.end() ? nullptr : &*it;
}

bool isPhonePointerCommand(const json::Json& command) {
  const json::Json* flag = objectMember(command, "phonePointer");
  return flag != nullptr && flag->is_boolean() && flag->get<bool>();
}

// The pointer session of a phone pointer command; absent for every other command.
std::optional<std::string> pointerSessionOf(const json::Json& command) {
  if (!isPhonePointerCommand(command)) return std::nullopt;
  return json::stringMember(command, "pointerSession");
}

std::optional<std::int64_t> pointerSequenceOf(const json::Json& command) {
  const json::Json* sequence = objectMember(command, "pointerSequence");
  return sequence ? command_members::intValue(*sequence) : std::nullopt;
}


}  // namespace

std::shared_ptr<InputCommandHandler> InputCommandHandler::create(std::shared_ptr<InputController> input,
                                                                 std::shared_ptr<MetricsStore> metrics, Clock& clock,
                                                                 std::shared_ptr<platform::DesktopSwitcher> desktops) {
  return makeMainThreadOwned<InputCommandHandler>(std::move(input), std::move(metrics), clock, std::move(desktops));
}

InputCommandHandler::InputCommandHandler(std::shared_ptr<InputController> input, std::shared_ptr<MetricsStore> metrics,
                                         Clock& clock, std::shared_ptr<platform::DesktopSwitcher> desktops)
    : input_(std::move(input)),
      metrics_(std::move(metrics)),
      clock_(clock),
      desktops_(std::move(desktops)),
      commandLogThrottle_(clock) {
  registerControlLocalizedStrings();
}

// --- intake (any thread) ---

asio::awaitable<json::Json> InputCommandHandler::handle(ParsedLine line, ReplyObserver onReply,
                                                        std::shared_ptr<LogThrottle> commandLog) {
  // Timed on the caller's thread before anything else; nothing here touches the handler's state.
  const Clock::TimePoint arrival = clock_.now();
  auto shared = std::make_shared<const ParsedLine>(std::move(line));
  return intake(weak_from_this(), arrival, std::move(shared), std::move(onReply), std::move(commandLog));
}

bool InputCommandHandler::isDroppableCommand(std::string_view type) { return isOneOf(type, droppableTypes); }

asio::awaitable<json::Json> InputCommandHandler::handle(std::string_view rawLine, ReplyObserver onReply,
                                                        std::shared_ptr<LogThrottle> commandLog) {
  return handle(parseLine(rawLine), std::move(onReply), std::move(commandLog));
}

InputCommandHandler::ParsedLine InputCommandHandler::parseLine(std::string_view rawLine) {
  ParsedLine line;
  line.validUtf8 = isValidUtf8(rawLine);
  if (!line.validUtf8) return line;
  line.parsed = json::parseObjectOrArray(rawLine);
  if (line.parsed.value) {
    line.type = json::stringMember(*line.parsed.value, "type");
    line.pointerSession = pointerSessionOf(*line.parsed.value);
    line.phoneKey = phoneCommandKey(*line.parsed.value);
  }
  return line;
}

asio::awaitable<json::Json> InputCommandHandler::intake(std::weak_ptr<InputCommandHandler> weak,
                                                        Clock::TimePoint arrival,
                                                        std::shared_ptr<const ParsedLine> line,
                                                        ReplyObserver onReply, std::shared_ptr<LogThrottle> commandLog) {
  // Answers "handler unavailable" when the main-thread block is thrown away without running (no main
  // loop any more), so that no caller waits for ever.
  struct UnansweredGuard {
    explicit UnansweredGuard(Completion done) : done(std::move(done)) {}
    Completion done;
    std::atomic<bool> taken{false};
    ~UnansweredGuard() {
      if (!taken.load()) done.resume(StepOutcome{handlerUnavailableReply(), {}});
    }
  };
  const Completion done(std::move(onReply));
  auto guard = std::make_shared<UnansweredGuard>(done);
  performOnMainRunLoop([weak, arrival, line, guard, commandLog] {
    guard->taken = true;
    const std::shared_ptr<InputCommandHandler> self = weak.lock();
    if (!self) {
      guard->done.resume(StepOutcome{handlerUnavailableReply(), {}});
      return;
    }
    self->runMainStep(*line, arrival, guard->done, commandLog ? *commandLog : self->commandLogThrottle_);
  });
  guard.reset();
  StepOutcome outcome = co_await done.wait();
  if (line->phoneKey && outcome.phoneTask) {
    if (mainExecutor()) {
      auto completion = awaitPhoneCommandCompletion(weak, *line->phoneKey, outcome.phoneTask);
      co_await onMainThread(std::move(completion));
    }
  }
  done.deliver(outcome.reply);
  co_return std::move(outcome.reply);
}

asio::awaitable<void> InputCommandHandler::awaitPhoneCommandCompletion(std::weak_ptr<InputCommandHandler> weak,
                                                                       std::string key, Task task) {
  co_await task.join();
  const std::shared_ptr<InputCommandHandler> self = weak.lock();
  if (!self) co_return;
  // Another command with the same key may have taken the entry meanwhile: leave that one alone.
  auto entry = self->phoneCommandCompletions_.find(key);
  if (entry != self->phoneCommandCompletions_.end() && entry->second.id() == task.id()) {
    self->phoneCommandCompletions_.erase(entry);
  }
}

// --- main-thread step ---

void InputCommandHandler::runMainStep(const ParsedLine& line, Clock::TimePoint arrival, const Completion& done,
                                      LogThrottle& commandLog) {
  assertOnMainThread();
  takeUpAnsweredAtOnce();  // commands answered earlier come first
  if (line.type && isOneOf(*line.type, droppableTypes) && clock_.now() - arrival > staleAfter) {
    done.resume(StepOutcome{droppedReply(*line.type, "stale"), {}});
    return;
  }
  dispatchCommand(line, done, commandLog);
}

void InputCommandHandler::dispatchCommand(const ParsedLine& line, const Completion& done,
                                          LogThrottle& commandLog) {
  const auto answer = [&](json::Json reply) { done.resume(StepOutcome{std::move(reply), {}}); };
  if (!line.validUtf8) return answer(errorReply("invalid utf8"));
  if (!line.parsed.value) return answer(errorReply("invalid json: " + line.parsed.error));
  const json::Json& object = *line.parsed.value;
  if (!object.is_object() || !line.type) return answer(errorReply("missing 'type'"));
  const std::string& type = *line.type;

  if (isPhonePointerCommand(object) &&
      !phonePointerSequenceGate_.shouldAccept(line.pointerSession, pointerSequenceOf(object))) {
    return answer(droppedReply(type, "superseded"));
  }

  std::optional<std::uint32_t> displayID;
  if (const json::Json* member = objectMember(object, "displayID")) {
    const std::optional<std::int64_t> value = command_members::intValue(*member);
    if (!value || *value < 0 || *value > std::numeric_limits<std::uint32_t>::max()) {
      return answer(errorReply("displayID is out of range"));
    }
    displayID = static_cast<std::uint32_t>(*value);
  }

  logCommand(type, object, commandLog);

  const Command command{type, object, displayID, line.pointerSession, line.phoneKey, commandLog};
  if (std::optional<StepOutcome> outcome = runCommand(command, done)) done.resume(std::move(*outcome));
}

// --- answered at once (any thread) ---

std::optional<json::Json> InputCommandHandler::answerAtOnce(const ParsedLine& line) {
  if (!line.validUtf8 || !line.parsed.value || line.type != "ping") return std::nullopt;
  const json::Json& object = *line.parsed.value;
  // The sequence gate and the display check belong to the main thread's step.
  if (isPhonePointerCommand(object) || objectMember(object, "displayID") != nullptr) return std::nullopt;
  return pongReply(object);
}

void InputCommandHandler::answeredAtOnce(const ParsedLine& line, std::shared_ptr<LogThrottle> commandLog) {
  if (!line.parsed.value || !line.type) return;
  AnsweredAtOnce answered{describeCommand(*line.type, *line.parsed.value), plausibleMeasuredRtt(*line.parsed.value),
                          std::move(commandLog)};
  {
    std::lock_guard lock(answeredAtOnceMutex_);
    answeredAtOnce_.push_back(std::move(answered));
    if (std::exchange(takeUpQueued_, true)) return;
  }
  // A batch per interval, not a main-thread wake-up per ping; the timer runs on the I/O threads, like the traffic
  // counters' batches.
  auto timer = std::make_shared<asio::steady_timer>(sharedIo().executor(), answeredAtOnceDelay);
  timer->async_wait([weak = weak_from_this(), timer](boost::system::error_code) {
    performOnMainRunLoop([weak] {
      if (const std::shared_ptr<InputCommandHandler> self = weak.lock()) self->takeUpAnsweredAtOnce();
    });
  });
}

void InputCommandHandler::takeUpAnsweredAtOnce() {
  assertOnMainThread();
  std::vector<AnsweredAtOnce> taken;
  {
    std::lock_guard lock(answeredAtOnceMutex_);
    taken.swap(answeredAtOnce_);
    takeUpQueued_ = false;
  }
  for (const AnsweredAtOnce& answered : taken) {
    metrics_->lastCommand.set(answered.description);
    metrics_->logEvent(LogCategory::INPUT, answered.description);
    LogThrottle& log = answered.commandLog ? *answered.commandLog : commandLogThrottle_;
    log.write("command", LogCategory::INPUT, [&] { return "command: " + answered.description; });
    if (answered.measuredRtt) metrics_->averagePingMs.set(*answered.measuredRtt);
  }
}

bool InputCommandHandler::shouldLogContinuousInput(std::string_view type) {
  if (!isOneOf(type, continuousTypes)) return true;
  const Clock::TimePoint now = clock_.now();
  if (lastContinuousInputLogAt_ && now - *lastContinuousInputLogAt_ < continuousLogInterval) return false;
  lastContinuousInputLogAt_ = now;
  return true;
}

void InputCommandHandler::logCommand(std::string_view type, const json::Json& command, LogThrottle& commandLog) {
  if (!shouldLogContinuousInput(type)) return;
  std::string description = describeCommand(type, command);
  metrics_->lastCommand.set(description);
  metrics_->logEvent(LogCategory::INPUT, description);
  commandLog.write("command", LogCategory::INPUT, [&] { return "command: " + description; });
}

// --- helpers for callers ---

void InputCommandHandler::setHostCallbacks(HostCallbacks callbacks) {
  assertOnMainThread();
  if (hostCallbacks_) throw std::logic_error("the host callbacks of a command handler are set once");
  hostCallbacks_ = std::move(callbacks);
}

void InputCommandHandler::setActiveEncoder(std::weak_ptr<KeyframeRequestTarget> encoder) {
  assertOnMainThread();
  activeEncoder_ = std::move(encoder);
}

void InputCommandHandler::setBroadcaster(std::weak_ptr<ControlClientBroadcaster> broadcaster) {
  assertOnMainThread();
  broadcaster_ = std::move(broadcaster);
}

bool InputCommandHandler::isDiscreteCommand(const json::Json& reply) {
  const json::Json* type = objectMember(reply, "type");
  if (type == nullptr || !type->is_string()) return true;
  return !isOneOf(type->get_ref<const std::string&>(), continuousTypes);
}

std::optional<std::string> InputCommandHandler::phoneCommandKey(const json::Json& command) {
  const std::optional<std::string> type = json::stringMember(command, "type");
  if (!type || (*type != "setDisplay" && *type != "switchSpace")) return std::nullopt;
  const std::optional<std::string> session = pointerSessionOf(command);
  const std::optional<std::int64_t> sequence = pointerSequenceOf(command);
  if (!session || !sequence) return std::nullopt;
  return *session + ":" + std::to_string(*sequence);
}

}  // namespace veltrano
