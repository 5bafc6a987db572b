#pragma once
// The screen the media benchmarks capture: a private 1920x1080 Xvfb with one RandR monitor covering it and a
// window over all of it, whose background is a gradient. An animation thread moves a rectangle across it at
// 60 Hz (so that every capturer has something new to grab), or the caller paints a mark and learns when the X
// server has drawn it.
#include <xcb/xcb.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "platform/x11/x11_display.hpp"
#include "support/private_xvfb.hpp"

namespace veltrano::bench {

class BenchScreen {
 public:
  static constexpr int kWidth = 1920;
  static constexpr int kHeight = 1080;

  // Throws std::runtime_error when the server or its monitor cannot be set up.
  BenchScreen() {
    if (!server_.start("1920x1080x24")) throw std::runtime_error("cannot start Xvfb");
    const std::string env = "DISPLAY=" + server_.displayName() + " ";
    if (std::system((env + "xrandr --setmonitor VL-BENCH 1920/508x1080/286+0+0 screen >/dev/null 2>&1").c_str()) != 0) {
      throw std::runtime_error("xrandr --setmonitor failed");
    }
    auto display = platform::X11Display::open(server_.displayName().c_str());
    if (!display) throw std::runtime_error("cannot connect to the private Xvfb");
    for (const auto& monitor : display->monitors()) {
      if (monitor.name == "VL-BENCH") monitorID_ = monitor.id;
    }
    if (monitorID_ == 0) throw std::runtime_error("the private Xvfb does not list VL-BENCH");

    c_ = xcb_connect(server_.displayName().c_str(), nullptr);
    if (xcb_connection_has_error(c_) != 0) throw std::runtime_error("cannot connect to the private Xvfb");
    const xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(c_)).data;
    const xcb_pixmap_t background = paintGradient(screen);
    window_ = xcb_generate_id(c_);
    const std::uint32_t values[] = {background, 1};  // background pixmap, override-redirect
    xcb_create_window(c_, XCB_COPY_FROM_PARENT, window_, screen->root, 0, 0, kWidth, kHeight, 0,
                      XCB_WINDOW_CLASS_INPUT_OUTPUT, screen->root_visual,
                      XCB_CW_BACK_PIXMAP | XCB_CW_OVERRIDE_REDIRECT, values);
    xcb_map_window(c_, window_);
    gc_ = xcb_generate_id(c_);
    xcb_create_gc(c_, gc_, window_, 0, nullptr);
    sync();
  }
  ~BenchScreen() {
    stopAnimation();
    xcb_disconnect(c_);
  }
  BenchScreen(const BenchScreen&) = delete;
  BenchScreen& operator=(const BenchScreen&) = delete;

  const std::string& displayName() const { return server_.displayName(); }
  std::uint32_t monitorID() const { return monitorID_; }

  // A 240x160 rectangle that moves 8 pixels and changes colour every 1/60 s, until stopAnimation(); its top
  // stays at or above `lowestTop`.
  void startAnimation(int lowestTop = kHeight - 160) {
    stopAnimation();
    animating_ = true;
    animation_ = std::thread([this, lowestTop] {
      const auto tick = std::chrono::microseconds(16667);
      auto next = std::chrono::steady_clock::now();
      int x = 0;
      int y = 100;
      int dy = 4;
      std::uint32_t step = 0;
      while (animating_) {
        xcb_clear_area(c_, 0, window_, static_cast<std::int16_t>(x), static_cast<std::int16_t>(y), 240, 160);
        x = (x + 8) % (kWidth - 240);
        y += dy;
        if (y < 0 || y > lowestTop) dy = -dy;
        fill(x, y, 240, 160, 0x204080u + ((step++ * 0x030507u) & 0x7F7F7Fu));
        sync();
        next += tick;
        std::this_thread::sleep_until(next);
      }
    });
  }
  void stopAnimation() {
    animating_ = false;
    if (animation_.joinable()) animation_.join();
  }

  // Fills the rectangle with `rgb` (0xRRGGBB) and returns once the X server has drawn it.
  std::chrono::steady_clock::time_point paint(int x, int y, int width, int height, std::uint32_t rgb) {
    fill(x, y, width, height, rgb);
    sync();
    return std::chrono::steady_clock::now();
  }

 private:
  void fill(int x, int y, int width, int height, std::uint32_t rgb) {
    std::lock_guard lock(fillMutex_);  // the animation and paint() share the graphics context
    xcb_change_gc(c_, gc_, XCB_GC_FOREGROUND, &rgb);
    const xcb_rectangle_t rect{static_cast<std::int16_t>(x), static_cast<std::int16_t>(y),
                               static_cast<std::uint16_t>(width), static_cast<std::uint16_t>(height)};
    xcb_poly_fill_rectangle(c_, window_, gc_, 1, &rect);
  }

  // A smooth two-axis gradient with a fine diagonal texture, so that the encoders have real picture to code.
  xcb_pixmap_t paintGradient(const xcb_screen_t* screen) {
    const xcb_pixmap_t pixmap = xcb_generate_id(c_);
    xcb_create_pixmap(c_, screen->root_depth, pixmap, screen->root, kWidth, kHeight);
    const xcb_gcontext_t gc = xcb_generate_id(c_);
    xcb_create_gc(c_, gc, pixmap, 0, nullptr);
    constexpr int kRows = 16;
    std::vector<std::uint32_t> strip(static_cast<std::size_t>(kWidth) * kRows);
    for (int top = 0; top < kHeight; top += kRows) {
      for (int row = 0; row < kRows; ++row) {
        const int y = top + row;
        for (int x = 0; x < kWidth; ++x) {
          const std::uint32_t r = static_cast<std::uint32_t>(x * 255 / (kWidth - 1));
          const std::uint32_t g = static_cast<std::uint32_t>(y * 255 / (kHeight - 1));
          const std::uint32_t b = 96u + static_cast<std::uint32_t>(((x + y) / 4) % 64);
          strip[static_cast<std::size_t>(row) * kWidth + x] = (r << 16) | (g << 8) | b;
        }
      }
      xcb_put_image(c_, XCB_IMAGE_FORMAT_Z_PIXMAP, pixmap, gc, kWidth, kRows, 0, static_cast<std::int16_t>(top), 0,
                    screen->root_depth, static_cast<std::uint32_t>(strip.size() * 4),
                    reinterpret_cast<const std::uint8_t*>(strip.data()));
      sync();
    }
    xcb_free_gc(c_, gc);
    return pixmap;
  }

  void sync() { std::free(xcb_get_input_focus_reply(c_, xcb_get_input_focus(c_), nullptr)); }

  test::PrivateXvfb server_;
  xcb_connection_t* c_ = nullptr;
  xcb_window_t window_ = 0;
  xcb_gcontext_t gc_ = 0;
  std::uint32_t monitorID_ = 0;
  std::mutex fillMutex_;
  std::atomic<bool> animating_{false};
  std::thread animation_;
};

}  // namespace veltrano::bench
