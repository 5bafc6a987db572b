#include "platform/events/key_names.hpp"

#include <xkbcommon/xkbcommon-keysyms.h>

#include <algorithm>
#include <array>
#include <string>
#include <utility>

namespace veltrano::platform {

namespace {

struct KeyName {
  std::string_view name;
  std::uint32_t keysym;
};

// The names a client may send, and no others: the input commands accept exactly these besides single characters.
// cmd/command become Super: it stays a key of its own instead of merging with control.
constexpr std::array kKeyNames = std::to_array<KeyName>({
    {"a", XKB_KEY_a}, {"b", XKB_KEY_b}, {"c", XKB_KEY_c}, {"d", XKB_KEY_d}, {"e", XKB_KEY_e},
    {"f", XKB_KEY_f}, {"g", XKB_KEY_g}, {"h", XKB_KEY_h}, {"i", XKB_KEY_i}, {"j", XKB_KEY_j},
    {"k", XKB_KEY_k}, {"l", XKB_KEY_l}, {"m", XKB_KEY_m}, {"n", XKB_KEY_n}, {"o", XKB_KEY_o},
    {"p", XKB_KEY_p}, {"q", XKB_KEY_q}, {"r", XKB_KEY_r}, {"s", XKB_KEY_s}, {"t", XKB_KEY_t},
    {"u", XKB_KEY_u}, {"v", XKB_KEY_v}, {"w", XKB_KEY_w}, {"x", XKB_KEY_x}, {"y", XKB_KEY_y},
    {"z", XKB_KEY_z},
    {"0", XKB_KEY_0}, {"1", XKB_KEY_1}, {"2", XKB_KEY_2}, {"3", XKB_KEY_3}, {"4", XKB_KEY_4},
    {"5", XKB_KEY_5}, {"6", XKB_KEY_6}, {"7", XKB_KEY_7}, {"8", XKB_KEY_8}, {"9", XKB_KEY_9},
    {"-", XKB_KEY_minus}, {"=", XKB_KEY_equal}, {"[", XKB_KEY_bracketleft}, {"]", XKB_KEY_bracketright},
    {";", XKB_KEY_semicolon}, {"'", XKB_KEY_apostrophe}, {",", XKB_KEY_comma}, {".", XKB_KEY_period},
    {"/", XKB_KEY_slash}, {"`", XKB_KEY_grave}, {"\\", XKB_KEY_backslash},
    {"space", XKB_KEY_space}, {"return", XKB_KEY_Return}, {"enter", XKB_KEY_Return}, {"tab", XKB_KEY_Tab},
    {"escape", XKB_KEY_Escape}, {"esc", XKB_KEY_Escape},
    {"delete", XKB_KEY_BackSpace}, {"backspace", XKB_KEY_BackSpace},
    {"forwarddelete", XKB_KEY_Delete}, {"fwddelete", XKB_KEY_Delete},
    {"arrowleft", XKB_KEY_Left}, {"arrowright", XKB_KEY_Right}, {"arrowdown", XKB_KEY_Down},
    {"arrowup", XKB_KEY_Up}, {"left", XKB_KEY_Left}, {"right", XKB_KEY_Right}, {"down", XKB_KEY_Down},
    {"up", XKB_KEY_Up},
    {"home", XKB_KEY_Home}, {"end", XKB_KEY_End}, {"pageup", XKB_KEY_Prior}, {"pagedown", XKB_KEY_Next},
    {"shift", XKB_KEY_Shift_L}, {"control", XKB_KEY_Control_L}, {"ctrl", XKB_KEY_Control_L},
    {"option", XKB_KEY_Alt_L}, {"cmd", XKB_KEY_Super_L}, {"command", XKB_KEY_Super_L},
    {"capslock", XKB_KEY_Caps_Lock},
});

static_assert(kKeyNames.size() == 76);

constexpr std::size_t kLongestName = 13;  // "forwarddelete"

}  // namespace

bool isKeyName(std::string_view name) { return keysymForKeyName(name).has_value(); }

std::optional<std::uint32_t> keysymForKeyName(std::string_view name) {
  if (name.empty() || name.size() > kLongestName) return std::nullopt;
  std::string lower(name);
  std::transform(lower.begin(), lower.end(), lower.begin(),
                 [](char ch) { return (ch >= 'A' && ch <= 'Z') ? static_cast<char>(ch - 'A' + 'a') : ch; });
  for (const KeyName& key : kKeyNames) {
    if (key.name == lower) return key.keysym;
  }
  return std::nullopt;
}

std::optional<std::uint32_t> keysymForScalar(char32_t scalar) {
  const auto cp = static_cast<std::uint32_t>(scalar);
  if (cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return std::nullopt;
  switch (cp) {
    case 0x08: return XKB_KEY_BackSpace;
    case 0x09: return XKB_KEY_Tab;
    case 0x0A: return XKB_KEY_Return;  // a typed line break is the Return key to applications
    case 0x0D: return XKB_KEY_Return;
    case 0x1B: return XKB_KEY_Escape;
    case 0x7F: return XKB_KEY_Delete;
    default: break;
  }
  if ((cp >= 0x20 && cp <= 0x7E) || (cp >= 0xA0 && cp <= 0xFF)) return cp;
  return 0x01000000u | cp;
}

}  // namespace veltrano::platform
