#pragma once
// InputCommandHandler: the one place where control commands run. Callers on any thread hand it one JSON
// command line with handle(); the command is parsed, dropped when it waited too long, gated, logged,
// validated and carried out on the main thread, and exactly one reply object comes back. Whether the reply
// is sent is the caller's decision (isDiscreteCommand).
//
// Main thread: every field but the queue of commands answered at once. handle() and answerAtOnce() are the
// operations that other threads start.
#include <boost/asio/awaitable.hpp>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/clock.hpp"
#include "base/continuation.hpp"
#include "base/json.hpp"
#include "base/task.hpp"
#include "base/thread_checks.hpp"
#include "control/control_client_broadcaster.hpp"
#include "control/input_controller.hpp"
#include "media/keyframe_request_target.hpp"
#include "control/main_thread_owned.hpp"
#include "control/phone_pointer_sequence_gate.hpp"
#include "core/display_info.hpp"
#include "core/log_throttle.hpp"
#include "core/metrics_store.hpp"
#include "platform/x11/desktop_switcher.hpp"

namespace veltrano {

class InputCommandHandler : public std::enable_shared_from_this<InputCommandHandler> {
 public:
  // Droppable commands that reach the main thread later than this after handle() are not run.
  static constexpr auto staleAfter = std::chrono::milliseconds(500);
  // Continuous pointer commands are logged at most this often (all four types together).
  static constexpr auto continuousLogInterval = std::chrono::milliseconds(250);

  // `clock` gives the uptime for staleness and the log throttle; it must outlive the handler. `desktops` takes
  // "switchSpace" to the window manager; without it every switch is refused.
  static std::shared_ptr<InputCommandHandler> create(std::shared_ptr<InputController> input,
                                                     std::shared_ptr<MetricsStore> metrics,
                                                     Clock& clock = systemClock(),
                                                     std::shared_ptr<platform::DesktopSwitcher> desktops = nullptr);

  InputCommandHandler(const InputCommandHandler&) = delete;
  InputCommandHandler& operator=(const InputCommandHandler&) = delete;

  // Callable from any thread, any number of times at once; completes on the caller's executor with the
  // reply (never fails). A phone "setDisplay" or "switchSpace" completes only once its effect has finished,
  // and a "text" once it has been typed.
  //
  // `onReply`, when given, receives the reply as soon as it exists, once, on the thread that produced it: the
  // main thread for most commands, the caller's executor for a phone command that waited for its effect. A
  // caller that sends the reply from there does not wait for its own executor to take the reply up first.
  //
  // `commandLog`, when given, throttles the command lines of the caller's connection; without it the handler's
  // own throttle does.
  using ReplyObserver = std::function<void(const json::Json& reply)>;
  // A command line read once, on the caller's thread: the caller may look at it before handing it on.
  struct ParsedLine {
    bool validUtf8 = false;
    json::ParseResult parsed;
    std::optional<std::string> type;            // a string "type" of a top-level object
    std::optional<std::string> pointerSession;  // "pointerSession" of an object whose "phonePointer" is true
    std::optional<std::string> phoneKey;        // see phoneCommandKey
  };
  static ParsedLine parseLine(std::string_view rawLine);
  asio::awaitable<json::Json> handle(ParsedLine line, ReplyObserver onReply = nullptr,
                                     std::shared_ptr<LogThrottle> commandLog = nullptr);
  asio::awaitable<json::Json> handle(std::string_view rawLine, ReplyObserver onReply = nullptr,
                                     std::shared_ptr<LogThrottle> commandLog = nullptr);

  // Any thread: the reply to a command that needs nothing of the main thread to be answered (a "ping" that is no
  // phone pointer command and names no display), or nullopt, and then the caller hands the line to handle().
  // Once the reply is on its way the caller passes the line to answeredAtOnce(), which queues the command's
  // main-thread part (its log line, the metrics' last command and event, the client's measured round trip). The
  // main thread takes up what has gathered at most `answeredAtOnceDelay` later, and always before the main-thread
  // step of any command handed to handle() afterwards, so that part keeps the commands' order.
  static constexpr auto answeredAtOnceDelay = std::chrono::milliseconds(50);
  static std::optional<json::Json> answerAtOnce(const ParsedLine& line);
  void answeredAtOnce(const ParsedLine& line, std::shared_ptr<LogThrottle> commandLog = nullptr);

  // False when the reply's "type" is "mouseMove", "mouseMoveRel", "mouseDrag" or "scroll": such replies are
  // not sent. True otherwise, also without a string "type".
  static bool isDiscreteCommand(const json::Json& reply);
  // Whether a command of this "type" is dropped when it reaches the main thread too late.
  static bool isDroppableCommand(std::string_view type);

  // The end of a phone pointer session (its connection went away): forgets its sequence numbers, cancels
  // its pending setDisplay/switchSpace commands and releases the left button when the session holds it.
  // Main thread.
  void endPhonePointerSession(const std::string& session);

  // What the host does with quality, keyframe and display commands. A missing one leaves the command to the
  // handler alone (a keyframe then goes to the active encoder).
  struct HostCallbacks {
    std::function<void(std::int64_t bitRate, std::int32_t frameRate)> qualityChange;
    std::function<void()> keyframeRequest;
    std::function<void(std::uint32_t displayID)> displayChange;
  };
  // Main thread, once: a second call throws std::logic_error.
  void setHostCallbacks(HostCallbacks callbacks);
  // Main thread. The active display's encoder, and the control server that hears of display changes.
  void setActiveEncoder(std::weak_ptr<KeyframeRequestTarget> encoder);
  void setBroadcaster(std::weak_ptr<ControlClientBroadcaster> broadcaster);

  // State for the host's diagnostics and tests; main thread.
  const PhonePointerSequenceGate& phonePointerSequenceGate() const {
    assertOnMainThread();
    return phonePointerSequenceGate_;
  }
  const std::optional<std::string>& activePhoneDragSessionID() const {
    assertOnMainThread();
    return activePhoneDragSessionID_;
  }
  std::size_t pendingPhoneCommandCount() const {
    assertOnMainThread();
    return phoneCommandCompletions_.size();
  }

 private:
  template <class U, class... A>
  friend std::shared_ptr<U> makeMainThreadOwned(A&&...);
  InputCommandHandler(std::shared_ptr<InputController> input, std::shared_ptr<MetricsStore> metrics, Clock& clock,
                      std::shared_ptr<platform::DesktopSwitcher> desktops);

  // What the main-thread step hands back: the reply and, for a phone command, the task to wait for.
  struct StepOutcome {
    json::Json reply;
    Task phoneTask;
  };
  // The main step's way back: a final reply goes to the observer on the producing thread, then the caller
  // resumes. Copies share one state; the first resume wins.
  class Completion {
   public:
    explicit Completion(ReplyObserver observer)
        : delivery_(std::make_shared<Delivery>(std::move(observer))) {}
    void resume(StepOutcome outcome) const {
      if (!outcome.phoneTask) deliver(outcome.reply);
      continuation_.resume(std::move(outcome));
    }
    // The observer, once.
    void deliver(const json::Json& reply) const {
      if (delivery_->observer && !delivery_->delivered.exchange(true)) delivery_->observer(reply);
    }
    asio::awaitable<StepOutcome> wait() const { return continuation_.wait(); }

   private:
    struct Delivery {
      explicit Delivery(ReplyObserver observer) : observer(std::move(observer)) {}
      ReplyObserver observer;
      std::atomic<bool> delivered{false};
    };
    Continuation<StepOutcome> continuation_;
    std::shared_ptr<Delivery> delivery_;
  };
  // One command after parsing, gating and the display-identifier check.
  struct Command {
    std::string type;
    const json::Json& object;
    std::optional<std::uint32_t> displayID;
    std::optional<std::string> pointerSession;
    std::optional<std::string> phoneKey;
    LogThrottle& log;  // the lines the command causes while it is handled
  };

  static std::optional<std::string> phoneCommandKey(const json::Json& command);
  static asio::awaitable<json::Json> intake(std::weak_ptr<InputCommandHandler> weak, Clock::TimePoint arrival,
                                            std::shared_ptr<const ParsedLine> line, ReplyObserver onReply,
                                            std::shared_ptr<LogThrottle> commandLog);
  static asio::awaitable<void> awaitPhoneCommandCompletion(std::weak_ptr<InputCommandHandler> weak, std::string key,
                                                           Task task);

  // Main thread.
  void runMainStep(const ParsedLine& line, Clock::TimePoint arrival, const Completion& done,
                   LogThrottle& commandLog);
  void dispatchCommand(const ParsedLine& line, const Completion& done, LogThrottle& commandLog);
  bool shouldLogContinuousInput(std::string_view type);
  void logCommand(std::string_view type, const json::Json& command, LogThrottle& commandLog);
  // The per-command step; nullopt when the reply comes later through `done`.
  std::optional<StepOutcome> runCommand(const Command& command, const Completion& done);
  json::Json ping(const Command& command);
  static json::Json pongReply(const json::Json& command);
  static std::optional<double> plausibleMeasuredRtt(const json::Json& command);

  // Main-thread parts of commands answered at once, in the order they were answered.
  struct AnsweredAtOnce {
    std::string description;
    std::optional<double> measuredRtt;
    std::shared_ptr<LogThrottle> commandLog;
  };
  void takeUpAnsweredAtOnce();
  json::Json keyframe(const Command& command);
  json::Json setQuality(const Command& command);
  std::optional<StepOutcome> typeText(const Command& command, const Completion& done);
  StepOutcome setDisplay(const Command& command);
  StepOutcome switchSpace(const Command& command);
  void registerPhoneCommand(const std::optional<std::string>& key, const Task& task);

  static asio::awaitable<void> applyDisplayChange(std::weak_ptr<InputCommandHandler> weak, DisplayInfo display,
                                                  std::uint32_t displayID, bool isPhoneCommand,
                                                  std::weak_ptr<ControlClientBroadcaster> server);
  void requestSpaceSwitch(const std::string& direction, const std::string& arrowKey, platform::DesktopStep step);

  std::shared_ptr<InputController> input_;
  std::shared_ptr<MetricsStore> metrics_;
  Clock& clock_;
  std::shared_ptr<platform::DesktopSwitcher> desktops_;
  std::optional<Clock::TimePoint> lastContinuousInputLogAt_;
  // For callers without a throttle of their own, and for the lines of effects that end after their command.
  LogThrottle commandLogThrottle_;
  PhonePointerSequenceGate phonePointerSequenceGate_;
  std::map<std::string, Task, std::less<>> phoneCommandCompletions_;
  std::optional<std::string> activePhoneDragSessionID_;
  std::optional<HostCallbacks> hostCallbacks_;
  std::weak_ptr<KeyframeRequestTarget> activeEncoder_;
  std::weak_ptr<ControlClientBroadcaster> broadcaster_;
  // Filled from any thread, emptied on the main thread; `takeUpQueued_` is set while a take-up is on its way.
  std::mutex answeredAtOnceMutex_;
  std::vector<AnsweredAtOnce> answeredAtOnce_;
  bool takeUpQueued_ = false;
};

}  // namespace veltrano
