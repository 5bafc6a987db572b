#pragma once
// The key names a client may send: letters, digits, punctuation, editing keys, arrows, navigation and
// modifiers. The dispatcher accepts exactly these (after lowercasing) besides single characters, and the
// injector posts them as named keys.
#include <array>
#include <string>
#include <string_view>

namespace veltrano {

inline constexpr std::array<std::string_view, 76> keyNameTable = {
    "a", "s", "d", "f", "h", "g", "z", "x", "c", "v", "b", "q", "w", "e", "r", "y", "t", "u", "i", "o", "p", "l",
    "j", "k", "n", "m",
    "0", "1", "2", "3", "4", "5", "6", "7", "8", "9",
    "-", "=", "[", "]", ";", "'", ",", ".", "/", "`", "\\",
    "space", "return", "enter", "tab", "escape", "esc", "delete", "backspace", "forwarddelete", "fwddelete",
    "arrowleft", "arrowright", "arrowdown", "arrowup", "left", "right", "down", "up",
    "home", "end", "pageup", "pagedown",
    "shift", "cmd", "command", "option", "control", "ctrl", "capslock",
};

// ASCII lowercasing: every table name is ASCII, so other characters never turn into one.
std::string lowercasedKeyName(std::string_view name);

// Whether `name`, lowercased, is a name of the table.
bool isTableKeyName(std::string_view name);

}  // namespace veltrano
