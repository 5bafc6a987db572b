// Without an X server: key names, keysyms, spare keycodes, scroll notches.
#include <gtest/gtest.h>

#include <xkbcommon/xkbcommon.h>

#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "platform/events/key_names.hpp"
#include "platform/events/scroll_notches.hpp"
#include "platform/events/spare_keycode_pool.hpp"

namespace veltrano::platform {
namespace {

std::string keysymName(std::uint32_t keysym) {
  char buffer[64];
  return xkb_keysym_get_name(keysym, buffer, sizeof buffer) > 0 ? buffer : "?";
}

// Every name the input commands accept, with the key of a PC keyboard it reaches ("" : the name of the letter or
// digit itself), then names in other cases and text that is no key ("(none)").
constexpr std::pair<const char*, const char*> kKeyNames[] = {
    {"a", ""}, {"s", ""}, {"d", ""}, {"f", ""}, {"h", ""}, {"g", ""}, {"z", ""}, {"x", ""}, {"c", ""}, {"v", ""},
    {"b", ""}, {"q", ""}, {"w", ""}, {"e", ""}, {"r", ""}, {"y", ""}, {"t", ""}, {"u", ""}, {"i", ""}, {"o", ""},
    {"p", ""}, {"l", ""}, {"j", ""}, {"k", ""}, {"n", ""}, {"m", ""}, {"0", ""}, {"1", ""}, {"2", ""}, {"3", ""},
    {"4", ""}, {"5", ""}, {"6", ""}, {"7", ""}, {"8", ""}, {"9", ""}, {"-", "minus"}, {"=", "equal"},
    {"[", "bracketleft"}, {"]", "bracketright"}, {";", "semicolon"}, {"'", "apostrophe"}, {",", "comma"},
    {".", "period"}, {"/", "slash"}, {"`", "grave"}, {"\\", "backslash"}, {"space", "space"},
    {"return", "Return"}, {"enter", "Return"},  // the main Return key, not the keypad's
    {"tab", "Tab"}, {"escape", "Escape"}, {"esc", "Escape"}, {"delete", "BackSpace"}, {"backspace", "BackSpace"},
    {"forwarddelete", "Delete"}, {"fwddelete", "Delete"}, {"arrowleft", "Left"}, {"arrowright", "Right"},
    {"arrowdown", "Down"}, {"arrowup", "Up"}, {"left", "Left"}, {"right", "Right"}, {"down", "Down"}, {"up", "Up"},
    {"home", "Home"}, {"end", "End"}, {"pageup", "Prior"}, {"pagedown", "Next"}, {"shift", "Shift_L"},
    {"cmd", "Super_L"}, {"command", "Super_L"}, {"option", "Alt_L"}, {"control", "Control_L"},
    {"ctrl", "Control_L"}, {"capslock", "Caps_Lock"},
    // ASCII case is ignored; "A" is the key, not the capital letter.
    {"Shift", "Shift_L"}, {"PageDown", "Next"}, {"A", "a"},
    {"", "(none)"}, {"!", "(none)"}, {"f1", "(none)"}, {"f12", "(none)"}, {"f13", "(none)"}, {"é", "(none)"},
    {"shift ", "(none)"}, {"forwarddeletex", "(none)"}};

TEST(KeyNames, MapToTheKeysOfAPcKeyboard) {
  for (const auto& [name, expected] : kKeyNames) {
    const std::optional<std::uint32_t> keysym = keysymForKeyName(name);
    EXPECT_EQ(keysym ? keysymName(*keysym) : "(none)", *expected ? expected : name) << name;
  }
}

TEST(KeysymForScalar, TypesTheSameCharacterBack) {
  // libxkbcommon's keysym-to-Unicode table is the judge of what a client will see.
  for (char32_t scalar : {U'a', U'A', U'!', U' ', U'~', U'\u00A0', U'é', U'ÿ', U'Ā', U'€', U'\u0301', U'ß',
                          U'中', U'\uFFFD', U'😀', U'\U0010FFFD'}) {
    const std::optional<std::uint32_t> keysym = keysymForScalar(scalar);
    ASSERT_TRUE(keysym.has_value()) << static_cast<std::uint32_t>(scalar);
    EXPECT_EQ(xkb_keysym_to_utf32(*keysym), static_cast<std::uint32_t>(scalar))
        << "U+" << std::hex << static_cast<std::uint32_t>(scalar);
  }
}

TEST(KeysymForScalar, ControlCharactersBecomeTheirKeysAndNonScalarsNothing) {
  for (const auto& [scalar, key] : {std::pair{U'\t', "Tab"}, {U'\n', "Return"}, {U'\r', "Return"},
                                    {U'\b', "BackSpace"}, {U'\x1B', "Escape"}, {U'\x7F', "Delete"}}) {
    EXPECT_EQ(keysymName(*keysymForScalar(scalar)), key);
  }
  for (std::uint32_t noScalar : {0xD800u, 0xDFFFu, 0x110000u}) {
    EXPECT_FALSE(keysymForScalar(static_cast<char32_t>(noScalar)).has_value()) << noScalar;
  }
}

// Reuse of a character's keycode, held keycodes and running out: the event source's tests of typed characters.
// Gives the keycode the pool picks to the keysym, as the event source does after the server took it.
std::optional<std::uint8_t> lend(SpareKeycodePool& pool, std::uint32_t keysym) {
  if (auto kept = pool.keycodeFor(keysym)) return kept;
  const std::optional<std::uint8_t> keycode = pool.nextToAssign();
  if (keycode) pool.assign(*keycode, keysym);
  return keycode;
}

TEST(SpareKeycodePool, ReusesTheLeastRecentlyUsedKeycode) {
  SpareKeycodePool pool({10, 11, 12});
  const auto k1 = lend(pool, 1);
  const auto k2 = lend(pool, 2);
  const auto k3 = lend(pool, 3);
  ASSERT_TRUE(k1 && k2 && k3);
  pool.keycodeFor(1);  // 1 used again: 2 is now the oldest
  EXPECT_EQ(pool.nextToAssign(), k2);
  EXPECT_EQ(lend(pool, 4), k2);
  EXPECT_EQ(pool.keycodeFor(2), std::nullopt);
  EXPECT_EQ(pool.keycodeFor(4), k2);
  EXPECT_EQ(pool.nextToAssign(), k3);
}

TEST(SpareKeycodePool, AnEmptyPoolLendsNothingAndDuplicatesCollapse) {
  SpareKeycodePool pool({});
  EXPECT_TRUE(pool.empty());
  EXPECT_EQ(lend(pool, 1), std::nullopt);
  EXPECT_EQ(SpareKeycodePool({30, 30}).size(), 1u);
}

// Small deltas adding up to a click: the event source's scroll test. Each row starts afresh.
TEST(ScrollNotches, KeepTheRemainderAndItsSignPerAxisAndDropWhatExceedsTheCap) {
  constexpr int kMax = kMaxScrollNotchesPerPost;
  const std::vector<std::vector<std::tuple<int, int, ScrollNotches>>> sequences = {
      // -15 px left over, then back to nothing pending.
      {{-95, 0, {-2, 0}}, {-25, 0, {-1, 0}}, {30, 0, {0, 0}}, {-30, 0, {0, 0}}, {-39, 0, {0, 0}}},
      {{30, -30, {0, 0}}, {10, -50, {1, -2}}, {0, 0, {0, 0}}},
      // The excess is dropped, not posted later.
      {{INT32_MAX, INT32_MIN, {kMax, -kMax}}, {0, 0, {0, 0}}, {kScrollPixelsPerNotch, 0, {1, 0}}},
  };
  for (const auto& sequence : sequences) {
    ScrollNotchAccumulator notches;
    for (const auto& [vertical, horizontal, expected] : sequence) {
      EXPECT_EQ(notches.add(vertical, horizontal), expected) << vertical << "," << horizontal;
    }
  }
}

}  // namespace
}  // namespace veltrano::platform
