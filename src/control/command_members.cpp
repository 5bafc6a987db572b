#include "control/command_members.hpp"

#include <cmath>

#include "control/unicode_text.hpp"
#include "platform/events/key_names.hpp"

namespace veltrano::command_members {

bool has(const Json& command, std::string_view key) { return json::findMember(command, key) != nullptr; }

std::optional<double> doubleValue(const Json& command, std::string_view key) {
  // Finite only: an infinity or NaN built in memory must not reach the pointer arithmetic.
  const std::optional<double> number = json::doubleMember(command, key);
  if (!number || !std::isfinite(*number)) return std::nullopt;
  return number;
}

std::optional<std::int64_t> intValue(const Json& value) { return json::asInt64(value); }

std::optional<std::int64_t> intValue(const Json& command, std::string_view key, std::int64_t defaultValue) {
  const Json* value = json::findMember(command, key);
  if (value == nullptr) return defaultValue;
  return intValue(*value);
}

std::optional<double> boundedNumber(const Json& command, std::string_view key, double limit, double defaultValue) {
  if (!has(command, key)) return defaultValue;
  const std::optional<double> number = doubleValue(command, key);
  if (!number || std::fabs(*number) > limit) return std::nullopt;
  return number;
}

std::optional<std::optional<Point>> parsePoint(const Json& command) {
  const bool hasX = has(command, "x");
  const bool hasY = has(command, "y");
  if (!hasX && !hasY) return std::optional<Point>();
  const std::optional<double> x = doubleValue(command, "x");
  const std::optional<double> y = doubleValue(command, "y");
  if (!x || !y || std::fabs(*x) > pointLimit || std::fabs(*y) > pointLimit) return std::nullopt;
  return std::optional<Point>(Point{*x, *y});
}

std::optional<std::string> parseKeyName(const Json& command) {
  const Json* value = json::findMember(command, "key");
  if (value == nullptr || !value->is_string()) return std::nullopt;
  std::string key = value->get<std::string>();
  if (key.empty() || hasMoreCharactersThan(key, keyNameCharacterLimit)) return std::nullopt;
  if (platform::isKeyName(key)) return key;
  const std::optional<std::u32string> scalars = unicodeScalars(key);
  if (scalars && scalars->size() == 1) return key;
  return std::nullopt;
}

}  // namespace veltrano::command_members
