#pragma once
// Readers of command members. Every member is optional in the JSON; each reader says what a missing or
// malformed member gives.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "base/json.hpp"
#include "control/point_and_size.hpp"

namespace veltrano::command_members {

using json::Json;

inline constexpr double pointLimit = 1'000'000;
inline constexpr double relativeMoveLimit = 100'000;
inline constexpr double scrollDeltaLimit = 10'000;
inline constexpr std::size_t keyNameCharacterLimit = 32;
inline constexpr std::size_t textCharacterLimit = 8192;

bool has(const Json& command, std::string_view key);

// A finite number (an integer taken as floating); nullopt when missing or not a number.
std::optional<double> doubleValue(const Json& command, std::string_view key);

// An integer number, or a floating number without fraction inside the signed 64-bit range.
std::optional<std::int64_t> intValue(const Json& value);
// Missing: the default. Present: its integer conversion, nullopt when it is not an integer (invalid).
std::optional<std::int64_t> intValue(const Json& command, std::string_view key, std::int64_t defaultValue);

// Missing: `defaultValue`. Present: a number of magnitude at most `limit`, else nullopt (invalid).
std::optional<double> boundedNumber(const Json& command, std::string_view key, double limit, double defaultValue);

// "x" and "y" of a button command. Neither present: no point (act at the cursor). Both numbers of magnitude
// at most pointLimit: the point. Anything else is invalid (outer nullopt).
std::optional<std::optional<Point>> parsePoint(const Json& command);

// "key": a string of 1 to 32 characters that is a name of the key-name table (any case) or exactly one
// Unicode scalar; returned as received. nullopt otherwise.
std::optional<std::string> parseKeyName(const Json& command);

}  // namespace veltrano::command_members
