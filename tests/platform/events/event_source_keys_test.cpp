// Keyboard input: named keys, modifiers around a key, and characters the keymap does not have.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "event_source_fixture.hpp"
#include "platform/events/key_names.hpp"

namespace veltrano::platform {
namespace {

constexpr std::uint16_t kShiftMask = XCB_MOD_MASK_SHIFT;
constexpr std::uint16_t kControlMask = XCB_MOD_MASK_CONTROL;

// What a client sees for the character of a key press: the keysym its keycode carries now.
std::uint32_t typedScalar(test::X11EventWindow& window, const test::RecordedEvent& press) {
  return xkb_keysym_to_utf32(window.keysymAtLevel0(press.detail));
}

// Names reach their keysyms in the key name tests, keysyms their keys in the input controller's.
TEST_F(EventSourceTest, CapsLockPressedTwiceIsOffAgain) {
  for (int i = 0; i < 2; ++i) {
    ASSERT_TRUE(source_->postKey("capslock", Press::down));
    EXPECT_EQ(keysymNameOf(eventsUntil(XCB_KEY_PRESS).back().detail), "Caps_Lock");
    ASSERT_TRUE(source_->postKey("capslock", Press::up));
  }
  EXPECT_FALSE(anyKeyDownAfterPosts());
}

TEST_F(EventSourceTest, UnknownKeyNamesPostNothing) {
  EXPECT_FALSE(source_->postKey("", Press::down));
  EXPECT_FALSE(source_->postKey("hyper", Press::down));
  EXPECT_FALSE(source_->postKey("!", Press::down));
  EXPECT_TRUE(eventsBeforeSentinel().empty());
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

}  // namespace
}  // namespace veltrano::platform
