#pragma once
// The key names a client may send, and what X keysym a key name or a typed character stands for.
#include <cstdint>
#include <optional>
#include <string_view>

namespace veltrano::platform {

// The keysym of a named key ("a", "return", "arrowleft", "pageup", "shift", "cmd", ...).
// Names compare without regard to ASCII case. nullopt when the name is not a key name.
std::optional<std::uint32_t> keysymForKeyName(std::string_view name);

// Whether `name`, in any ASCII case, is one of the key names a client may send.
bool isKeyName(std::string_view name);

// The keysym that types one Unicode scalar: Latin-1 characters are their own keysyms, the control
// characters with a key of their own (tab, line feed/return, escape, backspace, delete) map to that
// key, everything else to the Unicode keysym range. nullopt for surrogates and values past U+10FFFF.
std::optional<std::uint32_t> keysymForScalar(char32_t scalar);

}  // namespace veltrano::platform
