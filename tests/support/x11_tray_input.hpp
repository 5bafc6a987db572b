#pragma once
// Input for tests that work a program's tray icon and menu on $DISPLAY as a user would, without guessing when the
// tray host has finished placing the icon or when the menu has come down. Tests using this header link xcb-xtest
// (veltrano_platform_events brings it).
#include <poll.h>
#include <xcb/xcb.h>
#include <xcb/xtest.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>

namespace veltrano::test {

// Whether the tray host has taken the icon `window` in: it sits in one of the host's windows and is shown there.
inline bool embeddedAndShown(xcb_connection_t* c, xcb_window_t window) {
  xcb_query_tree_reply_t* tree = xcb_query_tree_reply(c, xcb_query_tree(c, window), nullptr);
  if (tree == nullptr) return false;
  const bool embedded = tree->parent != tree->root;
  std::free(tree);
  xcb_get_window_attributes_reply_t* attributes =
      xcb_get_window_attributes_reply(c, xcb_get_window_attributes(c, window), nullptr);
  const bool shown = attributes != nullptr && attributes->map_state == XCB_MAP_STATE_VIEWABLE;
  std::free(attributes);
  return embedded && shown;
}

// A left click in the middle of the tray icon `window`, on a connection of its own, once the tray host has taken
// it in (the time-out only stops a wait for a host that never does). The pointer is put there relative to the
// window, so the X server reads where the window is as it takes the request, and the button goes down and up at
// the pointer right after: a tray host that moves the icon meanwhile cannot make the click miss it.
inline bool clickTrayIcon(xcb_window_t window, std::chrono::milliseconds timeout = std::chrono::seconds(30)) {
  xcb_connection_t* c = xcb_connect(nullptr, nullptr);
  bool done = false;
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  bool ready = false;
  while (xcb_connection_has_error(c) == 0 && !(ready = embeddedAndShown(c, window)) &&
         std::chrono::steady_clock::now() < deadline) {
    ::poll(nullptr, 0, 20);
  }
  if (ready) {
    if (xcb_get_geometry_reply_t* geometry = xcb_get_geometry_reply(c, xcb_get_geometry(c, window), nullptr)) {
      xcb_warp_pointer(c, XCB_NONE, window, 0, 0, 0, 0, static_cast<std::int16_t>(geometry->width / 2),
                       static_cast<std::int16_t>(geometry->height / 2));
      std::free(geometry);
      xcb_test_fake_input(c, XCB_BUTTON_PRESS, 1, XCB_CURRENT_TIME, XCB_NONE, 0, 0, 0);
      xcb_test_fake_input(c, XCB_BUTTON_RELEASE, 1, XCB_CURRENT_TIME, XCB_NONE, 0, 0, 0);
      std::free(xcb_get_input_focus_reply(c, xcb_get_input_focus(c), nullptr));  // all of it taken in
      done = xcb_connection_has_error(c) == 0;
    }
  }
  xcb_disconnect(c);
  return done;
}

// A small window of the test's own that holds the keyboard focus, so that the moment another client grabs the
// keyboard (a menu that has come down) can be seen: the focus then leaves it for the grab.
class KeyboardGrabWatch {
 public:
  KeyboardGrabWatch() : c_(xcb_connect(nullptr, nullptr)) {
    if (xcb_connection_has_error(c_) != 0) return;
    const xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(c_)).data;
    window_ = xcb_generate_id(c_);
    const std::uint32_t values[] = {1, XCB_EVENT_MASK_FOCUS_CHANGE | XCB_EVENT_MASK_STRUCTURE_NOTIFY};
    xcb_create_window(c_, 0, window_, screen->root, 0, 0, 1, 1, 0, XCB_WINDOW_CLASS_INPUT_ONLY, XCB_COPY_FROM_PARENT,
                      XCB_CW_OVERRIDE_REDIRECT | XCB_CW_EVENT_MASK, values);
    xcb_map_window(c_, window_);
    xcb_flush(c_);
    if (!next([](const xcb_generic_event_t* e) { return (e->response_type & 0x7f) == XCB_MAP_NOTIFY; },
              std::chrono::seconds(20))) {
      return;
    }
    xcb_set_input_focus(c_, XCB_INPUT_FOCUS_POINTER_ROOT, window_, XCB_CURRENT_TIME);
    std::free(xcb_get_input_focus_reply(c_, xcb_get_input_focus(c_), nullptr));
    ready_ = xcb_connection_has_error(c_) == 0;
  }
  ~KeyboardGrabWatch() {
    if (window_ != 0) xcb_destroy_window(c_, window_);
    xcb_flush(c_);
    xcb_disconnect(c_);
  }
  KeyboardGrabWatch(const KeyboardGrabWatch&) = delete;
  KeyboardGrabWatch& operator=(const KeyboardGrabWatch&) = delete;

  bool ready() const { return ready_; }

  // True once the focus has left this window for another client's grab; the time-out only stops a wait for a grab
  // that does not come.
  bool grabbed(std::chrono::milliseconds timeout) {
    return next(
        [](const xcb_generic_event_t* e) {
          if ((e->response_type & 0x7f) != XCB_FOCUS_OUT) return false;
          return reinterpret_cast<const xcb_focus_out_event_t*>(e)->mode == XCB_NOTIFY_MODE_GRAB;
        },
        timeout);
  }

 private:
  template <class Matches>
  bool next(Matches matches, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
      while (xcb_generic_event_t* event = xcb_poll_for_event(c_)) {
        const bool found = matches(event);
        std::free(event);
        if (found) return true;
      }
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0 || xcb_connection_has_error(c_) != 0) return false;
      pollfd pfd{xcb_get_file_descriptor(c_), POLLIN, 0};
      ::poll(&pfd, 1, static_cast<int>(left.count()));
    }
  }

  xcb_connection_t* c_;
  xcb_window_t window_ = 0;
  bool ready_ = false;
};

}  // namespace veltrano::test
