#pragma once
// Text that came from a peer, made fit for a log line: never longer than a bound, so that no peer can write
// long lines into the host's log, and with its control characters escaped, so that none can forge a line.
#include <cstddef>
#include <string>
#include <string_view>

namespace veltrano {

// Most bytes of one peer-supplied text in a log line, marker excluded.
inline constexpr std::size_t maximumLoggedTextSize = 256;
// Follows a text that was cut.
inline constexpr std::string_view loggedTextCutMarker = "\u2026[cut]";

// `text` with every control character (C0, DEL, C1) and line or paragraph separator escaped ("\n", "\r", "\t",
// else "\u" and four hexadecimal digits); when that has more than `limit` bytes, its longest prefix of at most
// `limit` bytes that splits neither a character nor an escape, followed by the cut marker.
std::string loggedText(std::string_view text, std::size_t limit = maximumLoggedTextSize);

}  // namespace veltrano
