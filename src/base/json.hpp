#pragma once
// JSON helpers over nlohmann/json with the strict reading rules every wire message shares:
// the top level is an object or an array nested at most maximumNestingDepth deep, booleans are never numbers, a
// double counts as an integer only when it is integral and in range, and overflow or invalid UTF-8 are errors.
#include <nlohmann/json.hpp>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "base/log_text.hpp"

namespace veltrano::json {

using Json = nlohmann::json;

// Deepest nesting of arrays and objects that a parsed text may hold (the top level counts as 1). Deeper text
// is invalid JSON: walking or printing such a value would recurse as deep as a peer chose.
inline constexpr std::size_t maximumNestingDepth = 64;

struct ParseResult {
  std::optional<Json> value;
  std::string error;  // empty on success
};

// Parses a whole text whose top level is an object or an array.
ParseResult parseObjectOrArray(std::string_view text);

std::optional<std::int64_t> asInt64(const Json& value);
std::optional<std::uint64_t> asUInt64(const Json& value);
std::optional<double> asDouble(const Json& value);
std::optional<bool> asBool(const Json& value);
std::optional<std::string> asString(const Json& value);

// The member `key` of an object; null when `object` is not an object or has no such member.
const Json* findMember(const Json& object, std::string_view key);

// Member look-ups on an object; nullopt when absent or of another type.
std::optional<std::int64_t> intMember(const Json& object, std::string_view key);
std::optional<std::uint64_t> uintMember(const Json& object, std::string_view key);
std::optional<double> doubleMember(const Json& object, std::string_view key);
std::optional<bool> boolMember(const Json& object, std::string_view key);
std::optional<std::string> stringMember(const Json& object, std::string_view key);

// Compact text; invalid UTF-8 in strings is replaced rather than thrown, so a reply can always be written.
std::string dump(const Json& value);

// Compact text for a log line: serialising stops after `limit` bytes, and a longer text is cut as loggedText
// cuts it.
std::string loggedDump(const Json& value, std::size_t limit = maximumLoggedTextSize);

}  // namespace veltrano::json
