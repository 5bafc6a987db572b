#include "platform/events/event_source.hpp"

#include <xcb/xcb.h>
#include <xcb/xtest.h>
#include <xkbcommon/xkbcommon-keysyms.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <vector>

#include "platform/events/event_posting_access.hpp"
#include "platform/events/key_names.hpp"
#include "platform/x11/xcb_reply.hpp"

namespace veltrano::platform {

namespace {

constexpr std::uint8_t kButtonLeft = 1;
constexpr std::uint8_t kButtonRight = 3;
constexpr std::uint8_t kWheelUp = 4;
constexpr std::uint8_t kWheelDown = 5;
constexpr std::uint8_t kWheelLeft = 6;
constexpr std::uint8_t kWheelRight = 7;

struct ModifierKey {
  ModifierFlags flag;
  std::uint32_t keysym;
};
constexpr std::array kModifierKeys = std::to_array<ModifierKey>({
    {kModifierShift, XKB_KEY_Shift_L},
    {kModifierControl, XKB_KEY_Control_L},
    {kModifierOption, XKB_KEY_Alt_L},
    {kModifierCommand, XKB_KEY_Super_L},
});

std::int16_t toCoordinate(double v) {
  constexpr double lo = std::numeric_limits<std::int16_t>::min();
  constexpr double hi = std::numeric_limits<std::int16_t>::max();
  return static_cast<std::int16_t>(std::lround(std::clamp(v, lo, hi)));
}

}  // namespace

std::unique_ptr<EventSource> EventSource::create(const char* displayName) {
  std::shared_ptr<X11Display> display = X11Display::open(displayName);
  if (!display || !eventPostingAvailable(*display)) return nullptr;
  std::optional<KeyboardMapping> mapping = KeyboardMapping::read(display->connection());
  if (!mapping) return nullptr;
  return std::unique_ptr<EventSource>(new EventSource(std::move(display), std::move(*mapping)));
}

EventSource::EventSource(std::shared_ptr<X11Display> display, KeyboardMapping mapping)
    : display_(std::move(display)),
      mapping_(std::move(mapping)),
      spareKeycodes_(mapping_.keycodesWithoutSymbols()) {}

EventSource::~EventSource() {
  if (display_->hasError()) return;
  // A key left down in the server would auto-repeat forever once we are gone.
  for (std::uint8_t keycode : heldKeycodes_) fakeKey(keycode, Press::up);
  for (std::uint8_t button : heldButtons_) fakeButton(button, Press::up);
  xcb_connection_t* c = display_->connection();
  const std::array<xcb_keysym_t, 2> none{0, 0};
  for (std::uint8_t keycode : spareKeycodes_.assignedKeycodes()) {
    xcb_change_keyboard_mapping(c, 1, keycode, static_cast<std::uint8_t>(none.size()), none.data());
  }
  // Wait for the server to have it all before the connection closes.
  XcbReply<xcb_get_input_focus_reply_t> sync(xcb_get_input_focus_reply(c, xcb_get_input_focus(c), nullptr));
}

bool EventSource::canPost() const { return eventPostingAvailable(*display_); }

// --- pointer ---

bool EventSource::fakeMotion(ScreenPoint point) {
  if (!std::isfinite(point.x) || !std::isfinite(point.y)) return false;
  xcb_test_fake_input(display_->connection(), XCB_MOTION_NOTIFY, /*detail: absolute*/ 0, XCB_CURRENT_TIME,
                      display_->rootWindow(), toCoordinate(point.x), toCoordinate(point.y), 0);
  return true;
}

void EventSource::fakeButton(std::uint8_t button, Press press) {
  xcb_test_fake_input(display_->connection(), press == Press::down ? XCB_BUTTON_PRESS : XCB_BUTTON_RELEASE,
                      button, XCB_CURRENT_TIME, XCB_NONE, 0, 0, 0);
}

bool EventSource::postMouseMoved(ScreenPoint point) {
  if (!canPost()) return false;
  readNotifications();
  return fakeMotion(point) && finishPost();
}

bool EventSource::postMouseButton(MouseButton which, Press press, ScreenPoint point) {
  if (!canPost()) return false;
  readNotifications();
  if (!fakeMotion(point)) return false;
  const std::uint8_t button = which == MouseButton::left ? kButtonLeft : kButtonRight;
  fakeButton(button, press);
  if (press == Press::down) {
    heldButtons_.insert(button);
  } else {
    heldButtons_.erase(button);
  }
  return finishPost();
}

bool EventSource::postLeftMouseDragged(ScreenPoint point) { return postMouseMoved(point); }

bool EventSource::postScroll(std::int32_t pixelsY, std::int32_t pixelsX) {
  if (!canPost()) return false;
  readNotifications();
  const ScrollNotches notches = scrollNotches_.add(pixelsY, pixelsX);
  auto click = [this](std::uint8_t button, int count) {
    for (int i = 0; i < count; ++i) {
      fakeButton(button, Press::down);
      fakeButton(button, Press::up);
    }
  };
  click(notches.vertical > 0 ? kWheelUp : kWheelDown, std::abs(notches.vertical));
  click(notches.horizontal > 0 ? kWheelLeft : kWheelRight, std::abs(notches.horizontal));
  return finishPost();
}

// --- keys ---

bool EventSource::postKey(std::string_view keyName, Press press, ModifierFlags modifiers) {
  const std::optional<std::uint32_t> keysym = keysymForKeyName(keyName);
  return keysym && postKeysym(*keysym, press, modifiers);
}

bool EventSource::postCharacter(char32_t scalar, Press press, ModifierFlags modifiers) {
  const std::optional<std::uint32_t> keysym = keysymForScalar(scalar);
  return keysym && postKeysym(*keysym, press, modifiers);
}

bool EventSource::postKeysym(std::uint32_t keysym, Press press, ModifierFlags modifiers) {
  if (!canPost()) return false;
  readNotifications();
  const std::optional<std::uint8_t> keycode = keycodeFor(keysym, /*mayAssign=*/press == Press::down);
  if (!keycode) {
    // Nothing carries this character, so nothing of it can be down: there is nothing to release.
    return press == Press::up && !display_->hasError();
  }

  std::vector<std::uint8_t> pressedModifiers;
  for (const ModifierKey& modifier : kModifierKeys) {
    if ((modifiers & modifier.flag) == 0) continue;
    const std::optional<std::uint8_t> modifierKeycode = keycodeFor(modifier.keysym, /*mayAssign=*/true);
    if (!modifierKeycode || *modifierKeycode == *keycode || heldKeycodes_.contains(*modifierKeycode)) continue;
    fakeKey(*modifierKeycode, Press::down);
    pressedModifiers.push_back(*modifierKeycode);
  }
  fakeKey(*keycode, press);
  for (auto it = pressedModifiers.rbegin(); it != pressedModifiers.rend(); ++it) fakeKey(*it, Press::up);

  if (press == Press::down) {
    heldKeycodes_.insert(*keycode);
  } else {
    heldKeycodes_.erase(*keycode);
  }
  spareKeycodes_.setHeld(*keycode, press == Press::down);
  return finishPost();
}

std::optional<std::uint8_t> EventSource::keycodeFor(std::uint32_t keysym, bool mayAssign) {
  if (mappingStale_) {
    if (std::optional<KeyboardMapping> fresh = KeyboardMapping::read(display_->connection())) {
      mapping_ = std::move(*fresh);
      mappingStale_ = false;
    }
  }
  if (std::optional<std::uint8_t> spare = spareKeycodes_.keycodeFor(keysym)) return spare;
  if (std::optional<std::uint8_t> regular = mapping_.keycodeForUnshifted(
          keysym, [this](std::uint8_t keycode) { return spareKeycodes_.contains(keycode); })) {
    return regular;
  }
  if (!mayAssign) return std::nullopt;
  const std::optional<std::uint8_t> spare = spareKeycodes_.nextToAssign();
  if (!spare || !mapSpareKeycode(*spare, keysym)) return std::nullopt;
  spareKeycodes_.assign(*spare, keysym);
  return spare;
}

bool EventSource::mapSpareKeycode(std::uint8_t keycode, std::uint32_t keysym) {
  // Both levels carry the character, so a held Shift or Caps Lock does not change what is typed.
  const std::array<xcb_keysym_t, 2> levels{keysym, keysym};
  xcb_connection_t* c = display_->connection();
  xcb_generic_error_t* error = xcb_request_check(
      c, xcb_change_keyboard_mapping_checked(c, 1, keycode, static_cast<std::uint8_t>(levels.size()), levels.data()));
  if (error != nullptr) {
    std::free(error);
    return false;
  }
  return !display_->hasError();
}

void EventSource::fakeKey(std::uint8_t keycode, Press press) {
  xcb_test_fake_input(display_->connection(), press == Press::down ? XCB_KEY_PRESS : XCB_KEY_RELEASE, keycode,
                      XCB_CURRENT_TIME, XCB_NONE, 0, 0, 0);
}

// --- queries ---

std::optional<ScreenPoint> EventSource::cursorLocation() const {
  if (display_->hasError()) return std::nullopt;
  xcb_connection_t* c = display_->connection();
  XcbReply<xcb_query_pointer_reply_t> reply(
      xcb_query_pointer_reply(c, xcb_query_pointer(c, display_->rootWindow()), nullptr));
  if (!reply) return std::nullopt;
  return ScreenPoint{static_cast<double>(reply->root_x), static_cast<double>(reply->root_y)};
}

Rect EventSource::displayBounds(std::uint32_t displayID) const {
  if (displayID == 0) return Rect{};
  for (const X11Monitor& monitor : display_->monitors()) {
    if (monitor.id == displayID) return monitor.bounds;
  }
  return Rect{};
}

// --- connection upkeep ---

bool EventSource::finishPost() { return xcb_flush(display_->connection()) > 0 && !display_->hasError(); }

void EventSource::readNotifications() {
  // Nobody else reads this connection's events; keep the queue empty and notice keymap changes made
  // by others (our own changes of spare keycodes need no re-read).
  xcb_connection_t* c = display_->connection();
  while (xcb_generic_event_t* event = xcb_poll_for_event(c)) {
    if ((event->response_type & 0x7f) == XCB_MAPPING_NOTIFY) {
      const auto* notify = reinterpret_cast<const xcb_mapping_notify_event_t*>(event);
      const bool ours = notify->count == 1 && spareKeycodes_.contains(notify->first_keycode);
      if (notify->request == XCB_MAPPING_KEYBOARD && !ours) mappingStale_ = true;
    }
    std::free(event);
  }
}

}  // namespace veltrano::platform
