// An event source on an X server of the test's own, seen by a focused window of the test's own: pointer and keyboard
// input, and creating, probing and ending the source.
#include <gtest/gtest.h>

#include <xcb/xcb.h>
#include <xkbcommon/xkbcommon.h>

#include <chrono>
#include <cstdlib>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/events/event_posting_access.hpp"
#include "platform/events/event_source.hpp"
#include "platform/events/key_names.hpp"
#include "platform/events/keyboard_mapping.hpp"
#include "support/private_xvfb.hpp"
#include "support/quiet_x11_server.hpp"
#include "support/scoped_environment.hpp"
#include "support/x11_event_window.hpp"
#include "support/x11_test_env.hpp"

namespace veltrano::platform {
namespace {

class EventSourceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    VELTRANO_REQUIRE_X11();
    const std::string failure = server_.start();
    ASSERT_TRUE(failure.empty()) << failure;
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

  test::QuietX11Server server_;
  std::unique_ptr<test::X11EventWindow> window_;
  std::unique_ptr<EventSource> source_;
};

bool isMotionAt(const test::RecordedEvent& e, int x, int y) {
  return e.type == XCB_MOTION_NOTIFY && e.rootX == x && e.rootY == y;
}

// Clicks, drags, wheel buttons of whole notches, key names and typed text: the input controller's tests.
TEST_F(EventSourceTest, MovesThePointerToRoundedRootCoordinatesAndScrollsWithTheButtonOfEachDirection) {
  ASSERT_TRUE(source_->postMouseMoved({10, 10}));
  ASSERT_TRUE(source_->postMouseMoved({123.4, 456.6}));
  EXPECT_FALSE(window_->until([](const auto& e) { return isMotionAt(e, 123, 457); }).empty());
  EXPECT_EQ(source_->cursorLocation(), (ScreenPoint{123, 457}));
  ASSERT_TRUE(source_->postMouseMoved({1500.5, 20}));  // halves round away from zero
  EXPECT_EQ(source_->cursorLocation(), (ScreenPoint{1501, 20}));

  window_->discard();
  ASSERT_TRUE(source_->postScroll(kScrollPixelsPerNotch, 0));
  ASSERT_TRUE(source_->postScroll(-2 * kScrollPixelsPerNotch, 0));
  ASSERT_TRUE(source_->postScroll(0, kScrollPixelsPerNotch));
  ASSERT_TRUE(source_->postScroll(0, -kScrollPixelsPerNotch));
  std::vector<int> pressed;
  const std::vector<test::RecordedEvent> events = eventsBeforeSentinel();
  for (const auto& e : events) {
    if (e.type == XCB_BUTTON_PRESS) pressed.push_back(e.detail);
  }
  EXPECT_EQ(pressed, (std::vector<int>{4, 5, 5, 6, 7}));
  EXPECT_EQ(events.size(), 10u) << "every click is a press and a release";
}

constexpr std::uint16_t kShiftMask = XCB_MOD_MASK_SHIFT;
constexpr std::uint16_t kControlMask = XCB_MOD_MASK_CONTROL;

// What a client sees for the character of a key press: the keysym its keycode carries now.
std::uint32_t typedScalar(test::X11EventWindow& window, const test::RecordedEvent& press) {
  return xkb_keysym_to_utf32(window.keysymAtLevel0(press.detail));
}

TEST_F(EventSourceTest, ModifierFlagsAreHeldAroundTheKey) {
  // "+name" for a press, "-name" for a release.
  auto keyNames = [&](const std::vector<test::RecordedEvent>& events) {
    std::vector<std::string> names;
    for (const auto& e : events) names.push_back((e.type == XCB_KEY_PRESS ? "+" : "-") + keysymNameOf(e.detail));
    return names;
  };
  ASSERT_TRUE(source_->postKey("a", Press::down, kModifierShift | kModifierControl));
  ASSERT_TRUE(source_->postKey("a", Press::up));
  const std::vector<test::RecordedEvent> events = eventsBeforeSentinel();
  ASSERT_EQ(keyNames(events), (std::vector<std::string>{"+Shift_L", "+Control_L", "+a", "-Control_L", "-Shift_L", "-a"}));
  EXPECT_EQ(events[2].state & (kShiftMask | kControlMask), kShiftMask | kControlMask);
  EXPECT_EQ(events[5].state & (kShiftMask | kControlMask), 0);

  // A modifier the caller already holds is left alone.
  ASSERT_TRUE(source_->postKey("shift", Press::down));
  ASSERT_TRUE(source_->postKey("b", Press::down, kModifierShift));
  ASSERT_TRUE(source_->postKey("b", Press::up, kModifierShift));
  ASSERT_TRUE(source_->postKey("shift", Press::up));
  EXPECT_EQ(keyNames(eventsBeforeSentinel()), (std::vector<std::string>{"+Shift_L", "+b", "-b", "-Shift_L"}));
  EXPECT_FALSE(anyKeyDownAfterPosts());
}

TEST_F(EventSourceTest, TypesCharactersTheKeymapLacks) {
  for (char32_t scalar : {U'é', U'€', U'😀', U'A', U'!', U'Ω'}) {
    SCOPED_TRACE(static_cast<std::uint32_t>(scalar));
    ASSERT_TRUE(source_->postCharacter(scalar, Press::down));
    const test::RecordedEvent press = eventsUntil(XCB_KEY_PRESS).back();
    EXPECT_EQ(typedScalar(*window_, press), static_cast<std::uint32_t>(scalar));
    EXPECT_EQ(press.state & kShiftMask, 0);  // no Shift needed, even for 'A' and '!'
    ASSERT_TRUE(source_->postCharacter(scalar, Press::up));
    EXPECT_EQ(eventsUntil(XCB_KEY_RELEASE).back().detail, press.detail);
  }
  // A character on an unshifted key of the keymap uses that key.
  ASSERT_TRUE(source_->postKey("q", Press::down));
  const std::uint8_t qKey = eventsUntil(XCB_KEY_PRESS).back().detail;
  ASSERT_TRUE(source_->postKey("q", Press::up));
  ASSERT_TRUE(source_->postCharacter(U'q', Press::down));
  ASSERT_TRUE(source_->postCharacter(U'q', Press::up));
  EXPECT_EQ(eventsUntil(XCB_KEY_PRESS).back().detail, qKey);

  // Typing a character again reuses its keycode.
  ASSERT_TRUE(source_->postCharacter(U'é', Press::down));
  const std::uint8_t first = eventsUntil(XCB_KEY_PRESS).back().detail;
  ASSERT_TRUE(source_->postCharacter(U'é', Press::up));
  ASSERT_TRUE(source_->postCharacter(U'é', Press::down));
  EXPECT_EQ(eventsUntil(XCB_KEY_PRESS).back().detail, first);
  ASSERT_TRUE(source_->postCharacter(U'é', Press::up));
  EXPECT_FALSE(anyKeyDownAfterPosts());
}

TEST_F(EventSourceTest, AHeldCharacterKeepsItsKeycode) {
  ASSERT_TRUE(source_->postCharacter(U'é', Press::down));
  const test::RecordedEvent held = eventsUntil(XCB_KEY_PRESS).back();
  ASSERT_EQ(typedScalar(*window_, held), U'é');

  // More distinct characters than there are spare keycodes: every keycode but the held one is reused.
  for (char32_t scalar = 0x0410; scalar < 0x0410 + 40; ++scalar) {
    ASSERT_TRUE(source_->postCharacter(scalar, Press::down));
    ASSERT_TRUE(source_->postCharacter(scalar, Press::up));
  }
  const std::vector<test::RecordedEvent> typed = eventsBeforeSentinel();
  int presses = 0;
  for (const auto& e : typed) {
    if (e.type == XCB_KEY_PRESS) {
      ++presses;
      EXPECT_NE(e.detail, held.detail);
    }
  }
  EXPECT_GE(presses, 40);  // auto-repeat of the held key may add more
  EXPECT_EQ(window_->keysymAtLevel0(held.detail), *keysymForScalar(U'é'));

  ASSERT_TRUE(source_->postCharacter(U'é', Press::up));
  const std::vector<test::RecordedEvent> release = eventsUntil(XCB_KEY_RELEASE, held.detail);
  ASSERT_FALSE(release.empty());
  EXPECT_FALSE(anyKeyDownAfterPosts());
}

TEST_F(EventSourceTest, RunsOutOfKeycodesOnlyWhenAllAreHeld) {
  std::vector<char32_t> held;
  for (char32_t scalar = 0x0531; scalar < 0x0531 + 255; ++scalar) {
    if (!source_->postCharacter(scalar, Press::down)) break;
    held.push_back(scalar);
  }
  EXPECT_GE(held.size(), 1u);
  EXPECT_LT(held.size(), 255u);
  // Releasing a character that is not down posts nothing and is not an error.
  EXPECT_TRUE(source_->postCharacter(U'\u0E01', Press::up));
  for (char32_t scalar : held) EXPECT_TRUE(source_->postCharacter(scalar, Press::up));
  EXPECT_FALSE(anyKeyDownAfterPosts());
  // With keycodes free again, new characters can be typed.
  EXPECT_TRUE(source_->postCharacter(U'\u0E01', Press::down));
  EXPECT_TRUE(source_->postCharacter(U'\u0E01', Press::up));
}

TEST(EventSourceCreation, AbsentWhenNoServerAnswers) {
  EXPECT_EQ(EventSource::create(":65000"), nullptr);
  EXPECT_FALSE(eventPostingAvailable(":65000"));
  const testing::ScopedEnvironment noDisplay("DISPLAY", nullptr);
  EXPECT_EQ(EventSource::create(), nullptr);
  EXPECT_FALSE(eventPostingAvailable());
}

TEST(EventSourceCreation, PresentWithXTestAndKnowsTheBoundsOfTheTestMonitors) {
  VELTRANO_REQUIRE_X11();
  EXPECT_TRUE(eventPostingAvailable());
  const std::shared_ptr<X11Display> display = X11Display::open();
  ASSERT_NE(display, nullptr);
  EXPECT_TRUE(eventPostingAvailable(*display));
  const std::unique_ptr<EventSource> source = EventSource::create();
  ASSERT_NE(source, nullptr);
  EXPECT_TRUE(source->canPost());
  std::map<std::string, std::uint32_t> ids;
  for (const X11Monitor& monitor : display->monitors()) ids[monitor.name] = monitor.id;
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
  // Whatever was down comes up: the two keys and the button (a loaded X server may pause for a while).
  int keyReleases = 0;
  bool buttonReleased = false;
  const auto giveUpAt = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while ((keyReleases < 2 || !buttonReleased) && std::chrono::steady_clock::now() < giveUpAt) {
    const std::optional<test::RecordedEvent> e = window_->next(std::chrono::seconds(1));
    if (!e) continue;
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
