#pragma once
// InputController turns the client's pointer, scroll and keyboard commands into input events on the X
// server. It is the only component that posts input. Main thread only.
//
// Every operation first checks that the host may post events (else `ignoredAccessibility`, nothing
// changes); then it posts and answers ok with its action name, or `failed("<operation>: no event")` when
// the event could not be made (no X connection, the server went away, no keycode could carry a character).
#include <boost/asio/awaitable.hpp>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "base/actor.hpp"
#include "base/clock.hpp"
#include "control/input_result.hpp"
#include "control/main_thread_owned.hpp"
#include "control/point_and_size.hpp"
#include "core/log_throttle.hpp"
#include "platform/events/event_source.hpp"

namespace veltrano {

class InputController : public std::enable_shared_from_this<InputController> {
 public:
  // Whether the host may post input events now; asked anew on every operation.
  using PostingAccessCheck = std::function<bool()>;

  static constexpr auto clickReleaseDelay = std::chrono::milliseconds(24);
  // Long texts are posted this many scalars at a time, with the main loop free in between.
  static constexpr std::size_t textScalarsPerSlice = 128;

  // The controller of this process: the X server on $DISPLAY (no source when none answers) and the
  // permission checks that the permission service uses.
  static std::shared_ptr<InputController> create();
  // `source` may be null: every event then fails to be made. `clock` times the click release and must
  // outlive the controller.
  static std::shared_ptr<InputController> create(std::unique_ptr<platform::EventSource> source,
                                                 PostingAccessCheck mayPost, Clock& clock = systemClock());

  InputController(const InputController&) = delete;
  InputController& operator=(const InputController&) = delete;

  // Without a display identifier (or with 0 or an unknown one) the point is relative to displayOrigin.
  InputResult moveMouse(double x, double y, std::optional<std::uint32_t> displayID);
  // Relative to the current cursor location.
  InputResult moveMouseRel(double dx, double dy);
  // Without a point the buttons act at the current cursor location. A click's release follows
  // clickReleaseDelay after its press.
  InputResult leftClick(std::optional<Point> point, std::optional<std::uint32_t> displayID);
  InputResult rightClick(std::optional<Point> point, std::optional<std::uint32_t> displayID);
  InputResult mouseDown(std::optional<Point> point, std::optional<std::uint32_t> displayID);
  InputResult mouseDrag(std::optional<Point> point, std::optional<std::uint32_t> displayID);
  InputResult mouseUp(std::optional<Point> point, std::optional<std::uint32_t> displayID);
  // Pixel deltas, positive = up / left; fractions accumulate until they make a whole pixel.
  InputResult scroll(double deltaX, double deltaY);
  // A key name of the table (any case), else the first character of the name as given.
  InputResult keyDown(std::string_view key);
  InputResult keyUp(std::string_view key);
  // Types the text's scalars in order, one press and release each. Long texts are typed in slices that let
  // the main loop run in between; texts typed at the same time are queued, never interleaved. Must be
  // awaited on the main executor.
  asio::awaitable<InputResult> typeText(std::string text);
  // Moves the cursor to the middle of the active display.
  InputResult centerCursor();

  // The active display's frame in global coordinates, written by the host and by display selection.
  Point displayOrigin() const { return displayOrigin_; }
  Size displaySize() const { return displaySize_; }
  void setDisplayFrame(Point origin, Size size);

  // The bounds of a display by identifier; a zero rectangle when it is unknown or there is no X server.
  platform::Rect displayBounds(std::uint32_t displayID) const;

  // Event numbering and scroll remainders, for the host's diagnostics and tests.
  std::int64_t nextMouseEventNumber() const { return nextMouseEventNumber_; }
  std::optional<std::int64_t> activeLeftMouseEventNumber() const { return activeLeftMouseEventNumber_; }
  double scrollAccumX() const { return scrollAccumX_; }
  double scrollAccumY() const { return scrollAccumY_; }

 private:
  template <class U, class... A>
  friend std::shared_ptr<U> makeMainThreadOwned(A&&...);
  InputController(std::unique_ptr<platform::EventSource> source, PostingAccessCheck mayPost, Clock& clock);

  bool mayPost();
  std::optional<Point> cursorLocation() const;
  Point resolvePoint(std::optional<Point> point, std::optional<std::uint32_t> displayID) const;
  Point displayRelativeOrigin(std::optional<std::uint32_t> displayID) const;
  InputResult click(platform::MouseButton button, std::optional<Point> point, std::optional<std::uint32_t> displayID);
  void scheduleClickRelease(platform::MouseButton button, Point point);
  InputResult key(std::string_view name, platform::Press press);
  bool postScalar(char32_t scalar);

  std::unique_ptr<platform::EventSource> eventSource_;
  PostingAccessCheck mayPost_;
  Clock& clock_;
  // Every event a peer asks for would otherwise write a line.
  LogThrottle eventLog_{clock_};
  std::int64_t nextMouseEventNumber_ = 1;
  std::optional<std::int64_t> activeLeftMouseEventNumber_;
  double scrollAccumX_ = 0;
  double scrollAccumY_ = 0;
  Point displayOrigin_;
  Size displaySize_;
  AsyncMutex typing_;
};

}  // namespace veltrano
