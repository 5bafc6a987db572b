#include "base/json.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <ostream>
#include <streambuf>

namespace veltrano::json {

namespace {

// Whether arrays and objects in `text` nest deeper than `limit`, reading it as JSON (brackets inside strings do
// not count). One pass, no recursion; malformed text is left for the parser to refuse.
bool nestsDeeperThan(std::string_view text, std::size_t limit) {
  std::size_t depth = 0;
  bool inString = false;
  bool escaped = false;
  for (const char c : text) {
    if (inString) {
      if (escaped) {
        escaped = false;
      } else if (c == '\\') {
        escaped = true;
      } else if (c == '"') {
        inString = false;
      }
      continue;
    }
    if (c == '"') {
      inString = true;
    } else if (c == '[' || c == '{') {
      if (++depth > limit) return true;
    } else if ((c == ']' || c == '}') && depth > 0) {
      --depth;
    }
  }
  return false;
}

// Keeps the first `limit` bytes written to it and refuses the rest, which ends the writer's work early.
class BoundedTextBuffer final : public std::streambuf {
 public:
  explicit BoundedTextBuffer(std::size_t limit) : limit_(limit) {}
  const std::string& text() const { return text_; }

 protected:
  int_type overflow(int_type c) override {
    if (traits_type::eq_int_type(c, traits_type::eof())) return traits_type::not_eof(c);
    if (text_.size() >= limit_) return traits_type::eof();
    text_.push_back(traits_type::to_char_type(c));
    return c;
  }
  std::streamsize xsputn(const char* s, std::streamsize count) override {
    const auto taken = std::min(limit_ - text_.size(), static_cast<std::size_t>(count));
    text_.append(s, taken);
    return static_cast<std::streamsize>(taken);
  }

 private:
  const std::size_t limit_;
  std::string text_;
};

}  // namespace

ParseResult parseObjectOrArray(std::string_view text) {
  ParseResult result;
  if (nestsDeeperThan(text, maximumNestingDepth)) {
    result.error = "nested deeper than " + std::to_string(maximumNestingDepth) + " levels";
    return result;
  }
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

std::string loggedDump(const Json& value, std::size_t limit) {
  // One byte past the limit tells loggedText that the text was longer.
  BoundedTextBuffer buffer(limit + 1);
  std::ostream out(&buffer);
  out.exceptions(std::ios::badbit);
  try {
    out << value;
  } catch (const Json::exception&) {
    // A string that is not UTF-8, which parsed text never holds: printed the replacing way instead.
    return loggedText(dump(value), limit);
  } catch (const std::exception&) {
    // The buffer is full: what was written so far is the text.
  }
  return loggedText(buffer.text(), limit);
}

}  // namespace veltrano::json
