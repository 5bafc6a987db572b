#pragma once
// A private 640x480 X server split into two RandR monitors (left and right half), with a window over the whole
// screen to paint known colours into. Each test gets its own server, so parallel tests never paint over each other.
#include <xcb/xcb.h>

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>

#include <gtest/gtest.h>

#include "platform/x11/x11_display.hpp"
#include "support/private_xvfb.hpp"
#include "support/x11_test_env.hpp"

namespace veltrano::test {

struct Rgb {
  std::uint8_t r = 0;
  std::uint8_t g = 0;
  std::uint8_t b = 0;
};

class TwoMonitorScreen {
 public:
  static constexpr int kWidth = 640;
  static constexpr int kHeight = 480;

  // Why the screen could not be set up, or empty.
  std::string start() {
    if (!server_.start("640x480x24")) return "cannot start Xvfb";
    // The left monitor takes over Xvfb's only output ("screen"); the right one has none.
    if (runXrandr("--setmonitor VL-LEFT 320/85x480/127+0+0 screen") != 0 ||
        runXrandr("--setmonitor VL-RIGHT 320/85x480/127+320+0 none") != 0) {
      return "xrandr --setmonitor failed";
    }
    display_ = platform::X11Display::open(server_.displayName().c_str());
    if (!display_) return "cannot connect to the private Xvfb";
    for (const auto& m : display_->monitors()) {
      if (m.name == "VL-LEFT") left_ = m;
      if (m.name == "VL-RIGHT") right_ = m;
    }
    if (!left_ || !right_) return "the private Xvfb does not list both monitors";
    xcb_connection_t* c = display_->connection();
    const xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(c)).data;
    window_ = xcb_generate_id(c);
    const std::uint32_t values[] = {0x000000, 1};  // black background, override-redirect
    xcb_create_window(c, XCB_COPY_FROM_PARENT, window_, screen->root, 0, 0, kWidth, kHeight, 0,
                      XCB_WINDOW_CLASS_INPUT_OUTPUT, screen->root_visual,
                      XCB_CW_BACK_PIXEL | XCB_CW_OVERRIDE_REDIRECT, values);
    xcb_map_window(c, window_);
    gc_ = xcb_generate_id(c);
    xcb_create_gc(c, gc_, window_, 0, nullptr);
    sync();
    return {};
  }

  const std::string& name() const { return server_.displayName(); }
  const platform::X11Monitor& left() const { return *left_; }
  const platform::X11Monitor& right() const { return *right_; }
  platform::X11Display& display() { return *display_; }
  void kill() { server_.stop(); }
  void freeze() { server_.freeze(); }
  void thaw() { server_.thaw(); }

  void fill(const platform::Rect& r, Rgb colour) {
    xcb_connection_t* c = display_->connection();
    const std::uint32_t pixel = (std::uint32_t{colour.r} << 16) | (std::uint32_t{colour.g} << 8) | colour.b;
    xcb_change_gc(c, gc_, XCB_GC_FOREGROUND, &pixel);
    const xcb_rectangle_t rect{static_cast<std::int16_t>(r.x), static_cast<std::int16_t>(r.y),
                               static_cast<std::uint16_t>(r.width), static_cast<std::uint16_t>(r.height)};
    xcb_poly_fill_rectangle(c, window_, gc_, 1, &rect);
    sync();
  }

  // Puts the window back over the others (a program under test may have opened its own over it).
  void raise() {
    const std::uint32_t above = XCB_STACK_MODE_ABOVE;
    xcb_configure_window(display_->connection(), window_, XCB_CONFIG_WINDOW_STACK_MODE, &above);
    sync();
  }

  void movePointer(int x, int y) {
    xcb_connection_t* c = display_->connection();
    const xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(c)).data;
    xcb_warp_pointer(c, XCB_NONE, screen->root, 0, 0, 0, 0, static_cast<std::int16_t>(x), static_cast<std::int16_t>(y));
    sync();
  }

  int runXrandr(const std::string& arguments) {
    return std::system(("DISPLAY=" + server_.displayName() + " xrandr " + arguments + " >/dev/null 2>&1").c_str());
  }

 private:
  void sync() {
    xcb_connection_t* c = display_->connection();
    std::free(xcb_get_input_focus_reply(c, xcb_get_input_focus(c), nullptr));
  }

  PrivateXvfb server_;
  std::shared_ptr<platform::X11Display> display_;
  std::optional<platform::X11Monitor> left_;
  std::optional<platform::X11Monitor> right_;
  std::uint32_t window_ = 0;
  std::uint32_t gc_ = 0;
};

}  // namespace veltrano::test

// Starts `screen` (a TwoMonitorScreen); fails in CI and skips elsewhere when Xvfb or xrandr is missing.
#define VELTRANO_START_TWO_MONITOR_SCREEN(screen) \
  VELTRANO_REQUIRE_SERVICE("X server", ::veltrano::test::problemIfAny((screen).start()))
