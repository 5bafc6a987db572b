#pragma once
// An invisible (InputOnly) window over the whole screen, on a connection of its own, that holds the
// keyboard focus and records the pointer and key events the X server delivers to it. Tests use it
// to see what synthetic input really produced.
#include <poll.h>
#include <xcb/xcb.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

namespace veltrano::test {

struct RecordedEvent {
  std::uint8_t type = 0;    // XCB_KEY_PRESS, XCB_BUTTON_RELEASE, XCB_MOTION_NOTIFY, ...
  std::uint8_t detail = 0;  // keycode or button
  int rootX = 0;
  int rootY = 0;
  std::uint16_t state = 0;  // modifier and button mask before the event
};

class X11EventWindow {
 public:
  // On $DISPLAY; nullptr when the window cannot be made.
  static std::unique_ptr<X11EventWindow> open() {
    auto window = std::unique_ptr<X11EventWindow>(new X11EventWindow());
    return window->ready_ ? std::move(window) : nullptr;
  }

  ~X11EventWindow() {
    if (window_ != 0) xcb_destroy_window(c_, window_);
    xcb_flush(c_);
    xcb_disconnect(c_);
  }
  X11EventWindow(const X11EventWindow&) = delete;
  X11EventWindow& operator=(const X11EventWindow&) = delete;

  xcb_connection_t* connection() const { return c_; }

  // The next input event, waiting up to `timeout`.
  std::optional<RecordedEvent> next(std::chrono::milliseconds timeout = std::chrono::milliseconds(2000)) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (xcb_generic_event_t* event = nextEvent(deadline)) {
      std::optional<RecordedEvent> recorded = record(event);
      std::free(event);
      if (recorded) return recorded;
    }
    return std::nullopt;
  }

  // Events up to and including the first that matches `last`; empty when it never came (the time-out only stops
  // the wait for one that does not come: a loaded X server may pause for a while).
  std::vector<RecordedEvent> until(const std::function<bool(const RecordedEvent&)>& last,
                                   std::chrono::milliseconds timeout = std::chrono::seconds(20)) {
    std::vector<RecordedEvent> seen;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline) {
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      std::optional<RecordedEvent> event = next(left);
      if (!event) break;
      seen.push_back(*event);
      if (last(*event)) return seen;
    }
    return {};
  }

  // Throws away what has been delivered so far.
  void discard() {
    sync();
    while (xcb_generic_event_t* event = xcb_poll_for_event(c_)) std::free(event);
  }

  // The keysyms of a keycode as the server maps it now (level 0, level 1, ...).
  std::vector<std::uint32_t> keysymsOf(std::uint8_t keycode) {
    std::vector<std::uint32_t> result;
    xcb_get_keyboard_mapping_reply_t* reply =
        xcb_get_keyboard_mapping_reply(c_, xcb_get_keyboard_mapping(c_, keycode, 1), nullptr);
    if (reply == nullptr) return result;
    const xcb_keysym_t* keysyms = xcb_get_keyboard_mapping_keysyms(reply);
    result.assign(keysyms, keysyms + xcb_get_keyboard_mapping_keysyms_length(reply));
    std::free(reply);
    return result;
  }
  std::uint32_t keysymAtLevel0(std::uint8_t keycode) {
    const std::vector<std::uint32_t> keysyms = keysymsOf(keycode);
    return keysyms.empty() ? 0 : keysyms.front();
  }

  // Whether any key is down in the server.
  bool anyKeyDown() {
    xcb_query_keymap_reply_t* reply = xcb_query_keymap_reply(c_, xcb_query_keymap(c_), nullptr);
    if (reply == nullptr) return false;
    bool down = false;
    for (std::uint8_t byte : reply->keys) down = down || byte != 0;
    std::free(reply);
    return down;
  }

  void sync() { std::free(xcb_get_input_focus_reply(c_, xcb_get_input_focus(c_), nullptr)); }

 private:
  X11EventWindow() {
    c_ = xcb_connect(nullptr, nullptr);
    if (xcb_connection_has_error(c_) != 0) return;
    const xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(c_)).data;
    window_ = xcb_generate_id(c_);
    const std::uint32_t values[] = {
        1,  // override-redirect: no window manager may move it
        XCB_EVENT_MASK_KEY_PRESS | XCB_EVENT_MASK_KEY_RELEASE | XCB_EVENT_MASK_BUTTON_PRESS |
            XCB_EVENT_MASK_BUTTON_RELEASE | XCB_EVENT_MASK_POINTER_MOTION | XCB_EVENT_MASK_STRUCTURE_NOTIFY,
    };
    xcb_create_window(c_, 0, window_, screen->root, 0, 0, screen->width_in_pixels, screen->height_in_pixels, 0,
                      XCB_WINDOW_CLASS_INPUT_ONLY, XCB_COPY_FROM_PARENT,
                      XCB_CW_OVERRIDE_REDIRECT | XCB_CW_EVENT_MASK, values);
    xcb_map_window(c_, window_);
    xcb_flush(c_);
    if (!waitForMap()) return;
    xcb_set_input_focus(c_, XCB_INPUT_FOCUS_POINTER_ROOT, window_, XCB_CURRENT_TIME);
    sync();
    ready_ = xcb_connection_has_error(c_) == 0;
  }

  // The next event of any kind (the caller frees it), waiting until `deadline`; null when none came.
  xcb_generic_event_t* nextEvent(std::chrono::steady_clock::time_point deadline) {
    for (;;) {
      if (xcb_generic_event_t* event = xcb_poll_for_event(c_)) return event;
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0 || xcb_connection_has_error(c_) != 0) return nullptr;
      pollfd pfd{xcb_get_file_descriptor(c_), POLLIN, 0};
      ::poll(&pfd, 1, static_cast<int>(left.count()));
    }
  }

  bool waitForMap() {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (xcb_generic_event_t* event = nextEvent(deadline)) {
      const bool mapped = (event->response_type & 0x7f) == XCB_MAP_NOTIFY;
      std::free(event);
      if (mapped) return true;
    }
    return false;
  }

  static std::optional<RecordedEvent> record(const xcb_generic_event_t* event) {
    const std::uint8_t type = event->response_type & 0x7f;
    switch (type) {
      case XCB_KEY_PRESS:
      case XCB_KEY_RELEASE:
      case XCB_BUTTON_PRESS:
      case XCB_BUTTON_RELEASE:
      case XCB_MOTION_NOTIFY: {
        // These three events share one layout.
        const auto* input = reinterpret_cast<const xcb_key_press_event_t*>(event);
        return RecordedEvent{type, input->detail, input->root_x, input->root_y, input->state};
      }
      default:
        return std::nullopt;
    }
  }

  xcb_connection_t* c_ = nullptr;
  xcb_window_t window_ = 0;
  bool ready_ = false;
};

}  // namespace veltrano::test
