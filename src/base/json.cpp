#include "base/json.hpp"

#include <cmath>
#include <limits>

namespace veltrano::json {

ParseResult parseObjectOrArray(std::string_view text) {
  ParseResult result;
  try {
    Json value = Json::parse(text.begin(), text.end());
    if (!value.is_object() && !value.is_array()) {
      result.error = "top level is neither an object nor an array";
      return result;
    }
    result.value = std::move(value);
  } catch (const Json::exception& e) {
    // Covers syntax errors, invalid UTF-8 and numbers out of double range.
    result.error = e.what();
  }
  return result;
}

std::optional<std::int64_t> asInt64(const Json& value) {
  if (value.is_number_integer()) {
    if (value.is_number_unsigned()) {
      auto u = value.get<std::uint64_t>();
      if (u > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) return std::nullopt;
      return static_cast<std::int64_t>(u);
    }
    return value.get<std::int64_t>();
  }
  if (value.is_number_float()) {
    double d = value.get<double>();
    // 2^63 is exactly representable; anything at or above it does not fit.
    if (!std::isfinite(d) || std::trunc(d) != d || d < -9223372036854775808.0 || d >= 9223372036854775808.0) {
      return std::nullopt;
    }
    return static_cast<std::int64_t>(d);
  }
  return std::nullopt;
}

std::optional<std::uint64_t> asUInt64(const Json& value) {
  if (value.is_number_unsigned()) return value.get<std::uint64_t>();
  if (value.is_number_integer()) {
    auto i = value.get<std::int64_t>();
    if (i < 0) return std::nullopt;
    return static_cast<std::uint64_t>(i);
  }
  if (value.is_number_float()) {
    double d = value.get<double>();
    if (!std::isfinite(d) || std::trunc(d) != d || d < 0 || d >= 18446744073709551616.0) return std::nullopt;
    return static_cast<std::uint64_t>(d);
  }
  return std::nullopt;
}

std::optional<double> asDouble(const Json& value) {
  if (!value.is_number()) return std::nullopt;  // booleans are not numbers
  return value.get<double>();
}

std::optional<bool> asBool(const Json& value) {
  if (!value.is_boolean()) return std::nullopt;
  return value.get<bool>();
}

std::optional<std::string> asString(const Json& value) {
  if (!value.is_string()) return std::nullopt;
  return value.get<std::string>();
}

const Json* findMember(const Json& object, std::string_view key) {
  if (!object.is_object()) return nullptr;
  auto it = object.find(key);
  return it == object.end() ? nullptr : &*it;
}

std::optional<std::int64_t> intMember(const Json& object, std::string_view key) {
  auto* m = findMember(object, key);
  return m ? asInt64(*m) : std::nullopt;
}
std::optional<std::uint64_t> uintMember(const Json& object, std::string_view key) {
  auto* m = findMember(object, key);
  return m ? asUInt64(*m) : std::nullopt;
}
std::optional<double> doubleMember(const Json& object, std::string_view key) {
  auto* m = findMember(object, key);
  return m ? asDouble(*m) : std::nullopt;
}
std::optional<bool> boolMember(const Json& object, std::string_view key) {
  auto* m = findMember(object, key);
  return m ? asBool(*m) : std::nullopt;
}
std::optional<std::string> stringMember(const Json& object, std::string_view key) {
  auto* m = findMember(object, key);
  return m ? asString(*m) : std::nullopt;
}

std::string dump(const Json& value) { return value.dump(-1, ' ', false, Json::error_handler_t::replace); }

}  // namespace veltrano::json
