#include "platform/events/key_names.hpp"

#include <xkbcommon/xkbcommon.h>

#include <array>
#include <string>

#include <gtest/gtest.h>

namespace veltrano::platform {
namespace {

// Every name the input commands accept must reach a key.
constexpr std::array kCommandKeyNames = {
    "a", "s", "d", "f", "h", "g", "z", "x", "c", "v", "b", "q", "w", "e", "r", "y", "t", "u", "i",
    "o", "p", "l", "j", "k", "n", "m", "0", "1", "2", "3", "4", "5", "6", "7", "8", "9", "-", "=",
    "[", "]", ";", "'", ",", ".", "/", "`", "\\", "space", "return", "enter", "tab", "escape", "esc",
    "delete", "backspace", "forwarddelete", "fwddelete", "arrowleft", "arrowright", "arrowdown",
    "arrowup", "left", "right", "down", "up", "home", "end", "pageup", "pagedown", "shift", "cmd",
    "command", "option", "control", "ctrl", "capslock"};
static_assert(kCommandKeyNames.size() == 76);

std::string keysymName(std::uint32_t keysym) {
  char buffer[64];
  return xkb_keysym_get_name(keysym, buffer, sizeof buffer) > 0 ? buffer : "?";
}

std::string keysymNameFor(const char* keyName) {
  const std::optional<std::uint32_t> keysym = keysymForKeyName(keyName);
  return keysym ? keysymName(*keysym) : "(none)";
}

TEST(KeyNames, EveryCommandKeyNameIsKnown) {
  for (const char* name : kCommandKeyNames) {
    EXPECT_TRUE(keysymForKeyName(name).has_value()) << name;
  }
}

TEST(KeyNames, MapToTheKeysOfAPcKeyboard) {
  EXPECT_EQ(keysymNameFor("a"), "a");
  EXPECT_EQ(keysymNameFor("7"), "7");
  EXPECT_EQ(keysymNameFor("'"), "apostrophe");
  EXPECT_EQ(keysymNameFor("\\"), "backslash");
  EXPECT_EQ(keysymNameFor("return"), "Return");
  EXPECT_EQ(keysymNameFor("enter"), "Return");  // the main Return key, not the keypad's
  EXPECT_EQ(keysymNameFor("delete"), "BackSpace");
  EXPECT_EQ(keysymNameFor("backspace"), "BackSpace");
  EXPECT_EQ(keysymNameFor("forwarddelete"), "Delete");
  EXPECT_EQ(keysymNameFor("fwddelete"), "Delete");
  EXPECT_EQ(keysymNameFor("esc"), "Escape");
  EXPECT_EQ(keysymNameFor("arrowleft"), "Left");
  EXPECT_EQ(keysymNameFor("down"), "Down");
  EXPECT_EQ(keysymNameFor("pageup"), "Prior");
  EXPECT_EQ(keysymNameFor("pagedown"), "Next");
  EXPECT_EQ(keysymNameFor("f1"), "F1");
  EXPECT_EQ(keysymNameFor("f12"), "F12");
  EXPECT_EQ(keysymNameFor("shift"), "Shift_L");
  EXPECT_EQ(keysymNameFor("option"), "Alt_L");
  EXPECT_EQ(keysymNameFor("control"), "Control_L");
  EXPECT_EQ(keysymNameFor("ctrl"), "Control_L");
  EXPECT_EQ(keysymNameFor("cmd"), "Super_L");
  EXPECT_EQ(keysymNameFor("command"), "Super_L");
  EXPECT_EQ(keysymNameFor("capslock"), "Caps_Lock");
}

TEST(KeyNames, IgnoreAsciiCaseAndRejectOtherText) {
  EXPECT_EQ(keysymNameFor("Shift"), "Shift_L");
  EXPECT_EQ(keysymNameFor("PageDown"), "Next");
  EXPECT_EQ(keysymNameFor("A"), "a");  // the key, not the capital letter
  EXPECT_EQ(keysymNameFor(""), "(none)");
  EXPECT_EQ(keysymNameFor("!"), "(none)");
  EXPECT_EQ(keysymNameFor("f13"), "(none)");
  EXPECT_EQ(keysymNameFor("é"), "(none)");
  EXPECT_EQ(keysymNameFor("shift "), "(none)");
  EXPECT_EQ(keysymNameFor("forwarddeletex"), "(none)");
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

TEST(KeysymForScalar, ControlCharactersBecomeTheirKeys) {
  EXPECT_EQ(keysymName(*keysymForScalar(U'\t')), "Tab");
  EXPECT_EQ(keysymName(*keysymForScalar(U'\n')), "Return");
  EXPECT_EQ(keysymName(*keysymForScalar(U'\r')), "Return");
  EXPECT_EQ(keysymName(*keysymForScalar(U'\b')), "BackSpace");
  EXPECT_EQ(keysymName(*keysymForScalar(U'\x1B')), "Escape");
  EXPECT_EQ(keysymName(*keysymForScalar(U'\x7F')), "Delete");
}

TEST(KeysymForScalar, RejectsWhatIsNoScalar) {
  EXPECT_FALSE(keysymForScalar(static_cast<char32_t>(0xD800)).has_value());
  EXPECT_FALSE(keysymForScalar(static_cast<char32_t>(0xDFFF)).has_value());
  EXPECT_FALSE(keysymForScalar(static_cast<char32_t>(0x110000)).has_value());
}

}  // namespace
}  // namespace veltrano::platform
