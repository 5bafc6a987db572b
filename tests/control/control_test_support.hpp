#pragma once
// A command handler and injector on a test main loop and a virtual clock, with helpers that hand lines to
// handle() from a caller executor of their own and wait for the replies.
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/io_context.hpp>
#include <xcb/xcb.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "base/clock.hpp"
#include "base/continuation.hpp"
#include "base/executors.hpp"
#include "base/json.hpp"
#include "control/input_command_handler.hpp"
#include "control/input_controller.hpp"
#include "core/log_capture.hpp"
#include "core/metrics_store.hpp"
#include "fake_desktop_switcher.hpp"
#include "phone_command.hpp"
#include "platform/events/event_source.hpp"
#include "platform/x11/x11_display.hpp"
#include "support/quiet_x11_server.hpp"
#include "support/x11_event_window.hpp"
#include "support/x11_test_env.hpp"

namespace veltrano::test {

using json::Json;
using namespace std::chrono_literals;

// A reply that handle() has not necessarily produced yet.
struct PendingReply {
  std::optional<Json> reply;
  int order = 0;  // 1 for the first reply a harness received, 2 for the next, ...
  bool ready() const { return reply.has_value(); }
};

class ControlHarness {
 public:
  // `withX`: the injector posts to the X server on $DISPLAY; otherwise it has no event source.
  // `mayPost`: the answer of the event-posting permission check.
  explicit ControlHarness(bool withX, bool mayPost = true) : permitted_(std::make_shared<bool>(mayPost)) {
    std::unique_ptr<platform::EventSource> source = withX ? platform::EventSource::create() : nullptr;
    input = InputController::create(std::move(source), [permitted = permitted_] { return *permitted; }, clock);
    handler = InputCommandHandler::create(input, metrics, clock, desktops);
    clock.advance(10s);  // an uptime well past 0
  }
  ~ControlHarness() {
    handler.reset();
    settle();
    input.reset();
    settle();
  }

  void setMayPost(bool value) { *permitted_ = value; }

  // Hands the line to handle() on the caller executor and runs only the caller's part (the main-thread
  // step is queued, not run).
  std::shared_ptr<PendingReply> start(const std::string& line, InputCommandHandler::ReplyObserver onReply = nullptr) {
    auto pending = std::make_shared<PendingReply>();
    asio::co_spawn(caller.get_executor(), handler->handle(line, std::move(onReply)),
                   [pending, count = replyCount_](std::exception_ptr error, Json reply) {
                     pending->reply = error ? Json{{"type", "test"}, {"message", "handle threw"}} : std::move(reply);
                     pending->order = ++*count;
                   });
    caller.restart();
    caller.poll();
    return pending;
  }

  // Runs the main loop and the caller until nothing more is ready now.
  void settle() {
    for (int i = 0; i < 20; ++i) {
      loop.drain();
      caller.restart();
      caller.poll();
    }
  }

  // Waits (real time) for the reply without advancing the virtual clock.
  Json await(const std::shared_ptr<PendingReply>& pending, std::chrono::milliseconds timeout = 5s) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!pending->ready() && std::chrono::steady_clock::now() < deadline) {
      settle();
      if (!pending->ready()) loop.runUntil([&] { return pending->ready(); }, 2ms);
    }
    EXPECT_TRUE(pending->ready()) << "no reply";
    return pending->reply.value_or(Json());
  }

  Json send(const std::string& line) { return await(start(line)); }
  Json sendCommand(const Json& command) { return send(command.dump()); }

  std::vector<std::string> messages() const { return logs.messages(); }
  std::vector<std::string> messagesContaining(const std::string& part) const {
    std::vector<std::string> found;
    for (const std::string& message : logs.messages()) {
      if (message.find(part) != std::string::npos) found.push_back(message);
    }
    return found;
  }

  MainLoopForTests loop;
  asio::io_context caller;
  VirtualClock clock{[this] { loop.drain(); }};
  ScopedLogCapture logs;
  std::shared_ptr<MetricsStore> metrics = std::make_shared<MetricsStore>();
  std::shared_ptr<InputController> input;
  std::shared_ptr<FakeDesktopSwitcher> desktops = std::make_shared<FakeDesktopSwitcher>();
  std::shared_ptr<InputCommandHandler> handler;

 private:
  std::shared_ptr<bool> permitted_;
  std::shared_ptr<int> replyCount_ = std::make_shared<int>(0);
};

// A control server that records what it broadcasts; while `holding`, a broadcast waits for `release`.
class RecordingBroadcaster final : public ControlClientBroadcaster {
 public:
  asio::awaitable<void> broadcast(Json message) override {
    messages.push_back(std::move(message));
    if (holding) co_await release.wait();
  }
  std::vector<Json> messages;
  bool holding = false;
  Continuation<> release;
};

// The test server's RandR monitors by name ("VL-LEFT", "VL-RIGHT").
inline std::optional<platform::X11Monitor> monitorNamed(const std::string& name) {
  auto display = platform::X11Display::open();
  if (!display) return std::nullopt;
  for (const platform::X11Monitor& monitor : display->monitors()) {
    if (monitor.name == name) return monitor;
  }
  return std::nullopt;
}

inline std::optional<std::pair<int, int>> pointerPosition(xcb_connection_t* c) {
  const xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(c)).data;
  xcb_query_pointer_reply_t* reply = xcb_query_pointer_reply(c, xcb_query_pointer(c, screen->root), nullptr);
  if (reply == nullptr) return std::nullopt;
  std::pair<int, int> position{reply->root_x, reply->root_y};
  std::free(reply);
  return position;
}

// The pointer position once it equals `expected` (input from another connection may still be on its way, and a
// loaded X server may pause for a while), or the last one seen after `timeout`.
inline std::optional<std::pair<int, int>> pointerPositionOnce(xcb_connection_t* c, std::pair<int, int> expected,
                                                              std::chrono::milliseconds timeout = 20s) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  std::optional<std::pair<int, int>> position = pointerPosition(c);
  while (position != expected && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(2ms);
    position = pointerPosition(c);
  }
  return position;
}

// Input events of a type, as the window received them until `quiet` passed without one.
inline std::vector<RecordedEvent> drainEvents(X11EventWindow& window, std::chrono::milliseconds quiet = 150ms) {
  std::vector<RecordedEvent> events;
  while (std::optional<RecordedEvent> event = window.next(quiet)) events.push_back(*event);
  return events;
}

// Input events until `count` of them that are not pointer motion have come (or 20 s passed: a loaded X server may
// pause for a while), and whatever follows them closely.
inline std::vector<RecordedEvent> awaitEvents(X11EventWindow& window, std::size_t count,
                                              std::chrono::milliseconds quiet = 150ms) {
  std::vector<RecordedEvent> events;
  std::size_t notMotion = 0;
  const auto deadline = std::chrono::steady_clock::now() + 20s;
  while (notMotion < count && std::chrono::steady_clock::now() < deadline) {
    if (std::optional<RecordedEvent> event = window.next(1s)) {
      notMotion += event->type != XCB_MOTION_NOTIFY;
      events.push_back(*event);
    }
  }
  for (const RecordedEvent& event : drainEvents(window, quiet)) events.push_back(event);
  return events;
}

inline std::vector<RecordedEvent> withoutMotion(const std::vector<RecordedEvent>& events) {
  std::vector<RecordedEvent> kept;
  std::copy_if(events.begin(), events.end(), std::back_inserter(kept),
               [](const RecordedEvent& e) { return e.type != XCB_MOTION_NOTIFY; });
  return kept;
}

// A fixture that drives an X server of its own: it opens the recording window there and makes its harness; what
// the window saw before the test starts is dropped.
template <class Harness>
class X11HarnessTest : public ::testing::Test {
 protected:
  void SetUp() override {
    VELTRANO_REQUIRE_X11();
    const std::string failure = server_.start();
    ASSERT_TRUE(failure.empty()) << failure;
    window_ = X11EventWindow::open();
    ASSERT_NE(window_, nullptr) << "cannot open the recording window";
    harness_ = makeHarness();
    prepare();
    if (HasFatalFailure()) return;
    window_->discard();
  }
  void TearDown() override {
    harness_.reset();
    window_.reset();
  }

  virtual std::unique_ptr<Harness> makeHarness() = 0;
  // Set-up of the fixture's own, after the harness is made; may fail the test with ASSERT.
  virtual void prepare() {}

  QuietX11Server server_;
  std::unique_ptr<X11EventWindow> window_;
  std::unique_ptr<Harness> harness_;
};

// A command handler and input controller that post to the X server.
class ControlHarnessX11Test : public X11HarnessTest<ControlHarness> {
 protected:
  std::unique_ptr<ControlHarness> makeHarness() override { return std::make_unique<ControlHarness>(/*withX=*/true); }
};

}  // namespace veltrano::test
