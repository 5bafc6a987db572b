#pragma once
// The application's string tables: a key names a user-facing text; texts that take values are printf-style
// formats. Each folder registers its own keys; core registers the "common.*" keys and the errors' keys.
#include <fmt/printf.h>

#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace veltrano {

using LocalizationTable = std::vector<std::pair<std::string_view, std::string_view>>;

// Adds `table` to the known texts; a key registered again takes the newer text. Thread-safe.
void registerLocalizedStrings(const LocalizationTable& table);

// Adds a table that lives for the whole run (a folder's static table) the first time it is given; later calls
// with the same table do nothing, so a folder may call this before each of its look-ups. Thread-safe.
void registerLocalizedStringsOnce(const LocalizationTable& table);

// The text of `key`, or the key itself when no table knows it. Thread-safe.
std::string localized(std::string_view key);

// The text of `key` filled printf-style with `args` ({fmt} printf rules, so "%d" takes any integer width).
// A text that does not match its arguments comes back unfilled rather than failing the caller.
template <class... Args>
std::string localizedFormat(std::string_view key, const Args&... args) {
  auto format = localized(key);
  try {
    return fmt::sprintf(format, args...);
  } catch (const fmt::format_error&) {
    return format;
  }
}

// The English texts of the "common.*" keys. Registered automatically before the first look-up.
const LocalizationTable& commonLocalizedStrings();

// The English texts of the errors' keys ("local.transport.error.*", "identity.error.*"), which the errors
// carry as their descriptions. Registered automatically before the first look-up.
const LocalizationTable& errorLocalizedStrings();

}  // namespace veltrano
