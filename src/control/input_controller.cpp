#include "control/input_controller.hpp"
#include "base/thread_checks.hpp"

#include <boost/asio/post.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>

#include <algorithm>
#include <cmath>
#include <limits>

#include "base/executors.hpp"
#include "base/task.hpp"
#include "control/unicode_text.hpp"
#include "core/app_logger.hpp"
#include "core/permission_manager.hpp"
#include "platform/events/key_names.hpp"

namespace veltrano {

namespace {

using platform::MouseButton;
using platform::Press;

platform::ScreenPoint screen(Point point) { return {point.x, point.y}; }

std::int32_t roundedPixels(double amount) {
  // Halves away from zero; callers bound the deltas far inside the 32-bit range, this only keeps the
  // conversion defined.
  constexpr double lo = std::numeric_limits<std::int32_t>::min();
  constexpr double hi = std::numeric_limits<std::int32_t>::max();
  return static_cast<std::int32_t>(std::clamp(std::round(amount), lo, hi));
}

std::int64_t wholePart(double value) {
  if (!std::isfinite(value)) return 0;
  constexpr double lo = static_cast<double>(std::numeric_limits<std::int64_t>::min());
  constexpr double hi = 9223372036854774784.0;  // the largest double below 2^63
  return static_cast<std::int64_t>(std::clamp(std::trunc(value), lo, hi));
}

const char* operationName(MouseButton button) { return button == MouseButton::left ? "leftClick" : "rightClick"; }
const char* operationName(Press press) { return press == Press::down ? "keyDown" : "keyUp"; }

}  // namespace

std::shared_ptr<InputController> InputController::create() {
  PermissionChecks checks = defaultPermissionChecks();
  PostingAccessCheck mayPost = [checks] {
    return (checks.isAccessibilityTrusted && checks.isAccessibilityTrusted()) ||
           (checks.preflightPostEventAccess && checks.preflightPostEventAccess());
  };
  return create(platform::EventSource::create(), std::move(mayPost));
}

std::shared_ptr<InputController> InputController::create(std::unique_ptr<platform::EventSource> source,
                                                         PostingAccessCheck mayPost, Clock& clock) {
  return makeMainThreadOwned<InputController>(std::move(source), std::move(mayPost), clock);
}

InputController::InputController(std::unique_ptr<platform::EventSource> source, PostingAccessCheck mayPost,
                                 Clock& clock)
    : eventSource_(std::move(source)), mayPost_(std::move(mayPost)), clock_(clock) {}

bool InputController::mayPost() {
  if (mayPost_ && mayPost_()) return true;
  eventLog_.write("access", LogCategory::PERMISSION, [] { return "Event-posting access missing; input ignored"; });
  return false;
}

void InputController::setDisplayFrame(Point origin, Size size) {
  assertOnMainThread();
  displayOrigin_ = origin;
  displaySize_ = size;
}

platform::Rect InputController::displayBounds(std::uint32_t displayID) const {
  if (!eventSource_) return {};
  return eventSource_->displayBounds(displayID);
}

std::optional<Point> InputController::cursorLocation() const {
  if (!eventSource_) return std::nullopt;
  const std::optional<platform::ScreenPoint> location = eventSource_->cursorLocation();
  if (!location) return std::nullopt;
  return Point{location->x, location->y};
}

Point InputController::displayRelativeOrigin(std::optional<std::uint32_t> displayID) const {
  if (displayID && *displayID != 0) {
    const platform::Rect bounds = displayBounds(*displayID);
    if (bounds.width > 0 && bounds.height > 0) return Point{double(bounds.x), double(bounds.y)};
  }
  return displayOrigin_;
}

Point InputController::resolvePoint(std::optional<Point> point, std::optional<std::uint32_t> displayID) const {
  if (!point) return cursorLocation().value_or(Point{});
  const Point origin = displayRelativeOrigin(displayID);
  return Point{origin.x + point->x, origin.y + point->y};
}

// --- pointer ---

InputResult InputController::moveMouse(double x, double y, std::optional<std::uint32_t> displayID) {
  assertOnMainThread();
  if (!mayPost()) return InputResult::ignoredAccessibility();
  const Point origin = displayRelativeOrigin(displayID);
  if (!eventSource_ || !eventSource_->postMouseMoved({origin.x + x, origin.y + y})) {
    return InputResult::failed("moveMouse: no event");
  }
  return InputResult::ok("mouseMove");
}

InputResult InputController::moveMouseRel(double dx, double dy) {
  assertOnMainThread();
  if (!mayPost()) return InputResult::ignoredAccessibility();
  // Without a known cursor location a relative move would become a jump to the corner: post nothing.
  const std::optional<Point> cursor = cursorLocation();
  if (!cursor || !eventSource_->postMouseMoved({cursor->x + dx, cursor->y + dy})) {
    return InputResult::failed("moveMouseRel: no event");
  }
  return InputResult::ok("mouseMoveRel");
}

InputResult InputController::centerCursor() {
  assertOnMainThread();
  if (!mayPost()) return InputResult::ignoredAccessibility();
  const Point middle{displayOrigin_.x + displaySize_.width / 2, displayOrigin_.y + displaySize_.height / 2};
  if (!eventSource_ || !eventSource_->postMouseMoved(screen(middle))) {
    return InputResult::failed("centerCursor: no event");
  }
  return InputResult::ok("centerCursor");
}

InputResult InputController::leftClick(std::optional<Point> point, std::optional<std::uint32_t> displayID) {
  return click(MouseButton::left, point, displayID);
}

InputResult InputController::rightClick(std::optional<Point> point, std::optional<std::uint32_t> displayID) {
  return click(MouseButton::right, point, displayID);
}

InputResult InputController::click(MouseButton button, std::optional<Point> point,
                                   std::optional<std::uint32_t> displayID) {
  assertOnMainThread();
  if (!mayPost()) return InputResult::ignoredAccessibility();
  const Point at = resolvePoint(point, displayID);
  // Press and release share one event number; a click never touches the held left button's number.
  ++nextMouseEventNumber_;
  const std::string operation = operationName(button);
  if (!eventSource_ || !eventSource_->postMouseButton(button, Press::down, screen(at))) {
    return InputResult::failed(operation + ": no event");
  }
  scheduleClickRelease(button, at);
  eventLog_.write(operation, LogCategory::INPUT, [&] {
    return operation + " x=" + std::to_string(wholePart(at.x)) + " y=" + std::to_string(wholePart(at.y));
  });
  return InputResult::ok(operation);
}

void InputController::scheduleClickRelease(MouseButton button, Point point) {
  const Clock::TimePoint deadline = clock_.now() + clickReleaseDelay;
  // The release keeps the controller alive until it has been posted.
  Task::spawn(mainExecutor(), [self = shared_from_this(), button, point, deadline](TaskToken) -> asio::awaitable<void> {
    co_await self->clock_.sleepUntil(nullptr, deadline);
    if (self->eventSource_) self->eventSource_->postMouseButton(button, Press::up, screen(point));
  });
}

InputResult InputController::mouseDown(std::optional<Point> point, std::optional<std::uint32_t> displayID) {
  assertOnMainThread();
  if (!mayPost()) return InputResult::ignoredAccessibility();
  const Point at = resolvePoint(point, displayID);
  activeLeftMouseEventNumber_ = nextMouseEventNumber_++;
  if (!eventSource_ || !eventSource_->postMouseButton(MouseButton::left, Press::down, screen(at))) {
    return InputResult::failed("mouseDown: no event");
  }
  return InputResult::ok("mouseDown");
}

InputResult InputController::mouseDrag(std::optional<Point> point, std::optional<std::uint32_t> displayID) {
  assertOnMainThread();
  if (!mayPost()) return InputResult::ignoredAccessibility();
  const Point at = resolvePoint(point, displayID);
  // A drag outside a held press takes a number of its own.
  if (!activeLeftMouseEventNumber_) ++nextMouseEventNumber_;
  if (!eventSource_ || !eventSource_->postLeftMouseDragged(screen(at))) {
    return InputResult::failed("mouseDrag: no event");
  }
  return InputResult::ok("mouseDrag");
}

InputResult InputController::mouseUp(std::optional<Point> point, std::optional<std::uint32_t> displayID) {
  assertOnMainThread();
  if (!mayPost()) return InputResult::ignoredAccessibility();
  const Point at = resolvePoint(point, displayID);
  if (!activeLeftMouseEventNumber_) ++nextMouseEventNumber_;
  if (!eventSource_ || !eventSource_->postMouseButton(MouseButton::left, Press::up, screen(at))) {
    return InputResult::failed("mouseUp: no event");  // the press stays held
  }
  activeLeftMouseEventNumber_.reset();
  return InputResult::ok("mouseUp");
}

// --- scroll ---

InputResult InputController::scroll(double deltaX, double deltaY) {
  assertOnMainThread();
  if (!mayPost()) return InputResult::ignoredAccessibility();
  scrollAccumX_ += deltaX;
  scrollAccumY_ += deltaY;
  const std::int32_t roundedY = roundedPixels(scrollAccumY_);
  const std::int32_t roundedX = roundedPixels(scrollAccumX_);
  if (roundedY != 0) scrollAccumY_ -= roundedY;
  if (roundedX != 0) scrollAccumX_ -= roundedX;
  if (roundedY == 0 && roundedX == 0) return InputResult::ok("scroll-noop");
  if (!eventSource_ || !eventSource_->postScroll(roundedY, roundedX)) return InputResult::failed("scroll: no event");
  return InputResult::ok("scroll");
}

// --- keys ---

InputResult InputController::keyDown(std::string_view name) { return key(name, Press::down); }

InputResult InputController::keyUp(std::string_view name) { return key(name, Press::up); }

InputResult InputController::key(std::string_view name, Press press) {
  assertOnMainThread();
  if (!mayPost()) return InputResult::ignoredAccessibility();
  const std::string operation = operationName(press);
  if (platform::isKeyName(name)) {
    if (!eventSource_ || !eventSource_->postKey(name, press)) {
      return InputResult::failed(operation + ": no event");
    }
    eventLog_.write(operation, LogCategory::INPUT, [&] { return operation; });
    return InputResult::ok(operation);
  }
  const std::optional<std::u32string> scalars = unicodeScalars(name);
  if (!scalars || scalars->empty()) {
    return InputResult::failed(operation + ": unknown key '" + std::string(name) + "'");
  }
  if (!eventSource_ || !eventSource_->postCharacter(scalars->front(), press)) {
    return InputResult::failed(operation + ": no event");
  }
  eventLog_.write(operation, LogCategory::INPUT, [&] { return operation + " unicode"; });
  return InputResult::ok(operation);
}

// --- text ---

bool InputController::postScalar(char32_t scalar) {
  if (!eventSource_ || !eventSource_->postCharacter(scalar, Press::down)) return false;
  eventSource_->postCharacter(scalar, Press::up);
  return true;
}

asio::awaitable<InputResult> InputController::typeText(std::string text) {
  assertOnMainThread();
  const std::shared_ptr<InputController> self = shared_from_this();
  const AsyncMutex::Guard turn = co_await typing_.lock();
  if (!mayPost()) co_return InputResult::ignoredAccessibility();
  const std::u32string scalars = unicodeScalars(text).value_or(std::u32string());
  const asio::any_io_executor executor = co_await asio::this_coro::executor;
  std::size_t posted = 0;
  for (std::size_t i = 0; i < scalars.size(); ++i) {
    if (i > 0 && i % textScalarsPerSlice == 0) {
      co_await asio::post(executor, asio::use_awaitable);  // let the main loop run between slices
    }
    if (postScalar(scalars[i])) ++posted;
  }
  eventLog_.write("typeText", LogCategory::INPUT,
                  [&] { return "typeText characters=" + std::to_string(characterCount(text)); });
  if (!text.empty() && posted == 0) co_return InputResult::failed("typeText: no event");
  co_return InputResult::ok("text");
}

}  // namespace veltrano
