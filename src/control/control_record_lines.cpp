#include "control/control_record_lines.hpp"

#include <cmath>
#include <string_view>

#include "control/unicode_text.hpp"

namespace veltrano {

namespace {

// Unicode White_Space, which includes the line separators.
bool isWhiteSpace(char32_t c) {
  return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
         (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F || c == 0x3000;
}

bool isContinuationByte(unsigned char byte) { return (byte & 0xC0) == 0x80; }

// The scalar encoded by the valid UTF-8 sequence `bytes`.
char32_t decodeScalar(std::string_view bytes) {
  const auto lead = static_cast<unsigned char>(bytes[0]);
  if (bytes.size() == 1) return lead;
  char32_t value = lead & (0xFF >> (bytes.size() + 1));
  for (std::size_t i = 1; i < bytes.size(); ++i) value = (value << 6) | (static_cast<unsigned char>(bytes[i]) & 0x3F);
  return value;
}

std::size_t scalarLength(unsigned char lead) {
  if (lead < 0x80) return 1;
  if ((lead & 0xE0) == 0xC0) return 2;
  if ((lead & 0xF0) == 0xE0) return 3;
  return 4;
}

// Trims white space at both ends of valid UTF-8 text.
std::string_view trimWhiteSpace(std::string_view text) {
  while (!text.empty()) {
    const std::size_t length = scalarLength(static_cast<unsigned char>(text.front()));
    if (!isWhiteSpace(decodeScalar(text.substr(0, length)))) break;
    text.remove_prefix(length);
  }
  while (!text.empty()) {
    std::size_t start = text.size() - 1;
    while (start > 0 && isContinuationByte(static_cast<unsigned char>(text[start]))) --start;
    if (!isWhiteSpace(decodeScalar(text.substr(start)))) break;
    text.remove_suffix(text.size() - start);
  }
  return text;
}

bool holdsOnlyFiniteNumbers(const json::Json& value) {
  if (value.is_number_float()) return std::isfinite(value.get<double>());
  if (value.is_structured()) {
    for (const auto& element : value) {
      if (!holdsOnlyFiniteNumbers(element)) return false;
    }
  }
  return true;
}

}  // namespace

std::optional<std::string> commandLineOfRecord(ByteView record) {
  if (record.empty() || record.size() > maximumControlRecordSize || record.back() != '\n') return std::nullopt;
  const std::string text = asString(record.first(record.size() - 1));
  if (!isValidUtf8(text)) return std::nullopt;
  return std::string(trimWhiteSpace(text));
}

std::optional<std::string> controlMessageLine(const json::Json& message) {
  if (!message.is_object() || !holdsOnlyFiniteNumbers(message)) return std::nullopt;
  std::string line = json::dump(message);
  line.push_back('\n');
  return line;
}

}  // namespace veltrano
