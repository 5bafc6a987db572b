#pragma once
// The framing of the control channel inside its records: every record carries one line of UTF-8 text ending in
// a line feed, a JSON object from the client or the host.
#include <cstddef>
#include <optional>
#include <string>

#include "base/encoding.hpp"
#include "base/json.hpp"

namespace veltrano {

// Largest record of the control channel (the session's own limit for that channel).
inline constexpr std::size_t maximumControlRecordSize = 262144;

// The command line of one received record: the text before the final line feed with white space trimmed at
// both ends (possibly empty, which the caller skips). nullopt for an invalid record: empty, over the limit,
// without a final line feed, or not UTF-8.
std::optional<std::string> commandLineOfRecord(ByteView record);

// The compact JSON text of `message` followed by a line feed; nullopt when the message is not an object or
// holds a number that JSON cannot express (infinite or NaN).
std::optional<std::string> controlMessageLine(const json::Json& message);

}  // namespace veltrano
