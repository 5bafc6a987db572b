#pragma once
// Posts synthetic pointer and keyboard input to the X server (XTest) and answers the questions the
// input injector asks about the screen: where the cursor is and where a display lies.
//
// Every post returns whether its events reached the connection; false means nothing usable was
// posted (the server went away, the key name is unknown, no keycode could carry the character).
// Each post is flushed, so events reach the server in the order they were posted.
//
// Threads: one thread at a time (the injector uses it on the main thread only). It owns its own X
// connection because it reads keymap notifications from it.
#include <cstdint>
#include <memory>
#include <optional>
#include <set>
#include <string_view>

#include "platform/events/keyboard_mapping.hpp"
#include "platform/events/scroll_notches.hpp"
#include "platform/events/spare_keycode_pool.hpp"
#include "platform/x11/x11_display.hpp"

namespace veltrano::platform {

// Root-window coordinates; fractions are rounded to the nearest pixel when posted.
struct ScreenPoint {
  double x = 0;
  double y = 0;
  bool operator==(const ScreenPoint&) const = default;
};

enum class MouseButton { left, right };
enum class Press { down, up };

// Modifiers held around one key event (pressed before it, released after it, except those the
// caller already holds down through postKey).
using ModifierFlags = std::uint32_t;
inline constexpr ModifierFlags kModifierShift = 1u << 0;
inline constexpr ModifierFlags kModifierControl = 1u << 1;
inline constexpr ModifierFlags kModifierOption = 1u << 2;   // Alt_L
inline constexpr ModifierFlags kModifierCommand = 1u << 3;  // Super_L

class EventSource {
 public:
  // nullptr when no X server is reachable or it cannot take synthetic input (no XTEST).
  static std::unique_ptr<EventSource> create(const char* displayName = nullptr);
  // Releases keys and buttons still held through this source and empties the keycodes it lent out.
  ~EventSource();
  EventSource(const EventSource&) = delete;
  EventSource& operator=(const EventSource&) = delete;

  // The same probe as eventPostingAvailable(), on this source's connection.
  bool canPost() const;

  bool postMouseMoved(ScreenPoint point);
  // Moves to the point, then presses or releases (X buttons carry no position of their own).
  bool postMouseButton(MouseButton button, Press press, ScreenPoint point);
  // Motion while the left button is held; X reports it as motion with the button in its state.
  bool postLeftMouseDragged(ScreenPoint point);
  // Pixel deltas, positive = up / left; whole wheel clicks (buttons 4/5, 6/7) are posted every
  // kScrollPixelsPerNotch pixels, the rest waits for the next call. True also when no click is due.
  bool postScroll(std::int32_t pixelsY, std::int32_t pixelsX);
  // A named key (see keysymForKeyName). False for an unknown name.
  bool postKey(std::string_view keyName, Press press, ModifierFlags modifiers = 0);
  // One Unicode scalar, whatever the keyboard layout: a keycode without symbols is mapped to it when
  // no key types it unshifted, and stays mapped while the character is held. Releasing a character
  // that is not held posts nothing and succeeds.
  bool postCharacter(char32_t scalar, Press press, ModifierFlags modifiers = 0);

  std::optional<ScreenPoint> cursorLocation() const;
  // The RandR monitor's rectangle; a zero rectangle when the identifier is unknown.
  Rect displayBounds(std::uint32_t displayID) const;

 private:
  EventSource(std::shared_ptr<X11Display> display, KeyboardMapping mapping);

  bool postKeysym(std::uint32_t keysym, Press press, ModifierFlags modifiers);
  std::optional<std::uint8_t> keycodeFor(std::uint32_t keysym, bool mayAssign);
  bool mapSpareKeycode(std::uint8_t keycode, std::uint32_t keysym);
  void fakeKey(std::uint8_t keycode, Press press);
  void fakeButton(std::uint8_t button, Press press);
  bool fakeMotion(ScreenPoint point);
  bool finishPost();
  void readNotifications();

  std::shared_ptr<X11Display> display_;
  KeyboardMapping mapping_;
  bool mappingStale_ = false;
  SpareKeycodePool spareKeycodes_;
  ScrollNotchAccumulator scrollNotches_;
  std::set<std::uint8_t> heldKeycodes_;
  std::set<std::uint8_t> heldButtons_;
};

}  // namespace veltrano::platform
