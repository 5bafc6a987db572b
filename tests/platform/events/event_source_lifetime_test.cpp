// Creating, probing and ending an event source; display bounds; a server that goes away.
#include <xcb/xcb.h>

#include <cstdlib>
#include <map>
#include <string>

#include <gtest/gtest.h>

#include "event_source_fixture.hpp"
#include "platform/events/event_posting_access.hpp"
#include "platform/events/keyboard_mapping.hpp"
#include "support/private_xvfb.hpp"

namespace veltrano::platform {
namespace {

TEST(EventSourceCreation, AbsentWhenNoServerAnswers) {
  EXPECT_EQ(EventSource::create(":65000"), nullptr);
  EXPECT_FALSE(eventPostingAvailable(":65000"));

  const std::string saved = std::getenv("DISPLAY") != nullptr ? std::getenv("DISPLAY") : "";
  ::unsetenv("DISPLAY");
  EXPECT_EQ(EventSource::create(), nullptr);
  EXPECT_FALSE(eventPostingAvailable());
  if (!saved.empty()) ::setenv("DISPLAY", saved.c_str(), 1);
}

TEST(EventSourceCreation, PresentWithXTest) {
  VELTRANO_REQUIRE_X11();
  EXPECT_TRUE(eventPostingAvailable());
  const std::shared_ptr<X11Display> display = X11Display::open();
  ASSERT_NE(display, nullptr);
  EXPECT_TRUE(eventPostingAvailable(*display));
  const std::unique_ptr<EventSource> source = EventSource::create();
  ASSERT_NE(source, nullptr);
  EXPECT_TRUE(source->canPost());
}

TEST(EventSourceGeometry, BoundsOfTheTestMonitors) {
  VELTRANO_REQUIRE_X11();
  const std::unique_ptr<EventSource> source = EventSource::create();
  ASSERT_NE(source, nullptr);
  std::map<std::string, std::uint32_t> ids;
  for (const X11Monitor& monitor : X11Display::open()->monitors()) ids[monitor.name] = monitor.id;
  ASSERT_TRUE(ids.contains("VL-LEFT") && ids.contains("VL-RIGHT")) << "scripts/test-env must create both monitors";
  EXPECT_EQ(source->displayBounds(ids["VL-LEFT"]), (Rect{0, 0, 960, 1080}));
  EXPECT_EQ(source->displayBounds(ids["VL-RIGHT"]), (Rect{960, 0, 960, 1080}));
  EXPECT_EQ(source->displayBounds(0), Rect{});
  EXPECT_EQ(source->displayBounds(XCB_ATOM_PRIMARY), Rect{});  // an atom, but no monitor's name
}

TEST_F(EventSourceTest, EndingTheSourceReleasesWhatItHolds) {
  const std::optional<KeyboardMapping> before = KeyboardMapping::read(window_->connection());
  ASSERT_TRUE(before.has_value());

  ASSERT_TRUE(source_->postKey("shift", Press::down));
  ASSERT_TRUE(source_->postCharacter(U'ж', Press::down));
  ASSERT_TRUE(source_->postMouseButton(MouseButton::left, Press::down, {500, 500}));
  eventsUntil(XCB_BUTTON_PRESS, 1);
  ASSERT_TRUE(anyKeyDownAfterPosts());

  source_.reset();
  // Whatever was down comes up: the two keys and the button.
  int keyReleases = 0;
  bool buttonReleased = false;
  while (std::optional<test::RecordedEvent> e = window_->next(std::chrono::milliseconds(500))) {
    if (e->type == XCB_KEY_RELEASE) ++keyReleases;
    if (e->type == XCB_BUTTON_RELEASE && e->detail == 1) buttonReleased = true;
  }
  EXPECT_GE(keyReleases, 2);
  EXPECT_TRUE(buttonReleased);
  EXPECT_FALSE(window_->anyKeyDown());

  // The keycodes lent to characters are empty again.
  const std::optional<KeyboardMapping> after = KeyboardMapping::read(window_->connection());
  ASSERT_TRUE(after.has_value());
  EXPECT_EQ(after->keycodesWithoutSymbols(), before->keycodesWithoutSymbols());
}

TEST(EventSourceServerGone, FailsInsteadOfCrashing) {
  test::PrivateXvfb server;
  VELTRANO_REQUIRE_SERVICE("X server", test::problemIfAny(server.start() ? "" : "cannot start Xvfb"));
  std::unique_ptr<EventSource> source = EventSource::create(server.displayName().c_str());
  ASSERT_NE(source, nullptr);
  ASSERT_TRUE(source->postMouseMoved({50, 60}));
  EXPECT_EQ(source->cursorLocation(), (ScreenPoint{50, 60}));
  ASSERT_TRUE(source->postCharacter(U'é', Press::down));

  server.stop();
  EXPECT_EQ(source->cursorLocation(), std::nullopt);
  EXPECT_FALSE(source->canPost());
  EXPECT_FALSE(source->postMouseMoved({1, 1}));
  EXPECT_FALSE(source->postMouseButton(MouseButton::left, Press::down, {1, 1}));
  EXPECT_FALSE(source->postLeftMouseDragged({2, 2}));
  EXPECT_FALSE(source->postScroll(400, 400));
  EXPECT_FALSE(source->postKey("a", Press::down));
  EXPECT_FALSE(source->postCharacter(U'€', Press::down));
  EXPECT_FALSE(source->postCharacter(U'é', Press::up));
  EXPECT_EQ(source->displayBounds(1), Rect{});
  source.reset();  // holds a key and a lent keycode: must still end quietly
}

}  // namespace
}  // namespace veltrano::platform
