#pragma once
// Unicode views of UTF-8 text: scalars (code points) and characters as the user sees them (extended
// grapheme clusters).
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace veltrano {

bool isValidUtf8(std::string_view text);

// The scalars of valid UTF-8 text; nullopt when the text is not valid UTF-8.
std::optional<std::u32string> unicodeScalars(std::string_view text);

// The number of extended grapheme clusters of valid UTF-8 text.
std::size_t characterCount(std::string_view text);

// Whether the text has more than `limit` characters; stops counting past the limit.
bool hasMoreCharactersThan(std::string_view text, std::size_t limit);

}  // namespace veltrano
