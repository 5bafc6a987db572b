// Pointer input: moves, drags and wheel clicks as a client window receives them (clicks: the input controller's tests).
#include <gtest/gtest.h>

#include "event_source_fixture.hpp"

namespace veltrano::platform {
namespace {

bool isMotionAt(const test::RecordedEvent& e, int x, int y) {
  return e.type == XCB_MOTION_NOTIFY && e.rootX == x && e.rootY == y;
}

TEST_F(EventSourceTest, MovesThePointerToRoundedRootCoordinates) {
  ASSERT_TRUE(source_->postMouseMoved({10, 10}));
  ASSERT_TRUE(source_->postMouseMoved({123.4, 456.6}));
  EXPECT_FALSE(window_->until([](const auto& e) { return isMotionAt(e, 123, 457); }).empty());
  EXPECT_EQ(source_->cursorLocation(), (ScreenPoint{123, 457}));

  ASSERT_TRUE(source_->postMouseMoved({1500.5, 20}));  // halves round away from zero
  EXPECT_EQ(source_->cursorLocation(), (ScreenPoint{1501, 20}));

  // The second monitor is just further right on the same root window.
  ASSERT_TRUE(source_->postMouseMoved({960 + 40, 30}));
  EXPECT_EQ(source_->cursorLocation(), (ScreenPoint{1000, 30}));

  // Off-screen points are posted as they are; the server keeps the pointer on the screen.
  ASSERT_TRUE(source_->postMouseMoved({-50, -50}));
  EXPECT_EQ(source_->cursorLocation(), (ScreenPoint{0, 0}));
  ASSERT_TRUE(source_->postMouseMoved({1e6, 1e6}));
  EXPECT_EQ(source_->cursorLocation(), (ScreenPoint{1919, 1079}));
}

TEST_F(EventSourceTest, DragsWithTheLeftButtonHeld) {
  ASSERT_TRUE(source_->postMouseButton(MouseButton::left, Press::down, {300, 300}));
  eventsUntil(XCB_BUTTON_PRESS, 1);
  ASSERT_TRUE(source_->postLeftMouseDragged({320, 340}));
  const std::vector<test::RecordedEvent> drag =
      window_->until([](const auto& e) { return isMotionAt(e, 320, 340); });
  ASSERT_FALSE(drag.empty());
  EXPECT_NE(drag.back().state & XCB_BUTTON_MASK_1, 0);

  ASSERT_TRUE(source_->postMouseButton(MouseButton::left, Press::up, {320, 340}));
  const test::RecordedEvent release = eventsUntil(XCB_BUTTON_RELEASE).back();
  EXPECT_EQ(release.detail, 1);
  EXPECT_EQ(release.rootX, 320);
  EXPECT_EQ(release.rootY, 340);

  // After the release a drag is a plain motion.
  ASSERT_TRUE(source_->postLeftMouseDragged({330, 350}));
  const auto plain = window_->until([](const auto& e) { return isMotionAt(e, 330, 350); });
  ASSERT_FALSE(plain.empty());
  EXPECT_EQ(plain.back().state & XCB_BUTTON_MASK_1, 0);
}

std::vector<int> buttonPresses(const std::vector<test::RecordedEvent>& events) {
  std::vector<int> buttons;
  for (const auto& e : events) {
    if (e.type == XCB_BUTTON_PRESS) buttons.push_back(e.detail);
  }
  return buttons;
}

TEST_F(EventSourceTest, ScrollsInWholeWheelClicks) {
  ASSERT_TRUE(source_->postMouseMoved({400, 400}));
  window_->discard();

  ASSERT_TRUE(source_->postScroll(kScrollPixelsPerNotch, 0));
  ASSERT_TRUE(source_->postScroll(-2 * kScrollPixelsPerNotch, 0));
  ASSERT_TRUE(source_->postScroll(0, kScrollPixelsPerNotch));
  ASSERT_TRUE(source_->postScroll(0, -kScrollPixelsPerNotch));
  std::vector<test::RecordedEvent> events = eventsBeforeSentinel();
  EXPECT_EQ(buttonPresses(events), (std::vector<int>{4, 5, 5, 6, 7}));
  // Every click is a press and a release.
  EXPECT_EQ(events.size(), 10u);

  // Small deltas wait until they make a click.
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(source_->postScroll(10, 0));
  EXPECT_TRUE(eventsBeforeSentinel().empty());
  ASSERT_TRUE(source_->postScroll(10, 0));
  EXPECT_EQ(buttonPresses(eventsBeforeSentinel()), (std::vector<int>{4}));
}

}  // namespace
}  // namespace veltrano::platform
