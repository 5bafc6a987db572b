#pragma once
// An event source on the shared test X server, and a focused window that sees what it posts.
#include <xcb/xcb.h>
#include <xkbcommon/xkbcommon.h>

#include <memory>
#include <optional>
#include <string>

#include <gtest/gtest.h>

#include "platform/events/event_source.hpp"
#include "support/x11_event_window.hpp"
#include "support/x11_test_env.hpp"

namespace veltrano::platform {

class EventSourceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    VELTRANO_REQUIRE_X11();
    lock_.emplace();
    ASSERT_TRUE(lock_->held());
    window_ = test::X11EventWindow::open();
    ASSERT_NE(window_, nullptr) << "cannot open the test window";
    source_ = EventSource::create();
    ASSERT_NE(source_, nullptr);
    window_->discard();
  }

  void TearDown() override {
    source_.reset();
    window_.reset();
  }

  // The events up to the first of `type` (with `detail` unless 0); fails the test when it never comes.
  std::vector<test::RecordedEvent> eventsUntil(std::uint8_t type, std::uint8_t detail = 0) {
    auto seen = window_->until(
        [&](const test::RecordedEvent& e) { return e.type == type && (detail == 0 || e.detail == detail); });
    EXPECT_FALSE(seen.empty()) << "no event of type " << int(type) << " detail " << int(detail);
    return seen;
  }

  // Moves the pointer to a spot of its own and returns the events that came before that motion:
  // what the posts before it produced.
  std::vector<test::RecordedEvent> eventsBeforeSentinel() {
    // A spot the pointer is not on, so that the move surely produces a motion event.
    const std::optional<ScreenPoint> cursor = source_->cursorLocation();
    const ScreenPoint sentinel{cursor && cursor->x == 777 ? 778.0 : 777.0, 777};
    EXPECT_TRUE(source_->postMouseMoved(sentinel));
    auto seen = window_->until([&](const test::RecordedEvent& e) {
      return e.type == XCB_MOTION_NOTIFY && e.rootX == sentinel.x && e.rootY == sentinel.y;
    });
    EXPECT_FALSE(seen.empty()) << "the sentinel motion never arrived";
    if (!seen.empty()) seen.pop_back();
    return seen;
  }

  // Whether any key is down once the posts so far have taken effect (a round trip on the source's connection
  // first, so that the query on the window's connection sees them).
  bool anyKeyDownAfterPosts() {
    (void)source_->cursorLocation();
    return window_->anyKeyDown();
  }

  std::string keysymNameOf(std::uint8_t keycode) {
    char buffer[64];
    const std::uint32_t keysym = window_->keysymAtLevel0(keycode);
    return xkb_keysym_get_name(keysym, buffer, sizeof buffer) > 0 ? buffer : "?";
  }

  std::optional<test::X11InputLock> lock_;
  std::unique_ptr<test::X11EventWindow> window_;
  std::unique_ptr<EventSource> source_;
};

}  // namespace veltrano::platform
