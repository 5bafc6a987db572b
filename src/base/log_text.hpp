#pragma once
// Text that came from a peer, made fit for a log line: never longer than a bound, so that no peer can write
// long lines into the host's log.
#include <cstddef>
#include <string>
#include <string_view>

namespace veltrano {

// Most bytes of one peer-supplied text in a log line, marker excluded.
inline constexpr std::size_t maximumLoggedTextSize = 256;
// Follows a text that was cut.
inline constexpr std::string_view loggedTextCutMarker = "\u2026[cut]";

// `text` unchanged when it has at most `limit` bytes; otherwise its longest prefix of at most `limit` bytes that
// ends at a UTF-8 boundary, followed by the cut marker.
std::string loggedText(std::string_view text, std::size_t limit = maximumLoggedTextSize);

}  // namespace veltrano
