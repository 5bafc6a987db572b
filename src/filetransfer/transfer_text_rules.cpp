#include "filetransfer/transfer_text_rules.hpp"

#include <unicode/uchar.h>
#include <unicode/utf8.h>

#include <algorithm>

#include "base/uuid.hpp"

namespace veltrano {

namespace {

std::string lowercased(std::string_view text) {
  std::string out(text);
  std::transform(out.begin(), out.end(), out.begin(), [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; });
  return out;
}

// True when the bytes are valid UTF-8 holding no control (Cc) or format (Cf) character and nothing that breaks a
// line (Zl, Zp).
bool isPrintableUTF8(std::string_view text) {
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(text.data());
  const auto length = static_cast<std::int32_t>(text.size());
  std::int32_t index = 0;
  while (index < length) {
    UChar32 scalar = 0;
    U8_NEXT(bytes, index, length, scalar);
    if (scalar < 0) return false;
    const auto category = u_charType(scalar);
    if (category == U_CONTROL_CHAR || category == U_FORMAT_CHAR || category == U_LINE_SEPARATOR ||
        category == U_PARAGRAPH_SEPARATOR) {
      return false;
    }
  }
  return true;
}

bool hasPartialFileForm(std::string_view name) {
  if (name.size() != partialFilePrefix.size() + 36 + partialFileSuffix.size()) return false;
  if (!name.starts_with(partialFilePrefix) || !name.ends_with(partialFileSuffix)) return false;
  return Uuid::parse(name.substr(partialFilePrefix.size(), 36)).has_value();
}

}  // namespace

std::optional<std::string> normalizedTransferID(std::string_view text) {
  if (text.size() != 36 || !Uuid::parse(text)) return std::nullopt;
  return lowercased(text);
}

std::string makeTransferID() { return Uuid::random().text(); }

std::optional<std::string> sanitizedFileName(std::string_view name) {
  if (name.empty()) return std::nullopt;
  if (name == "." || name == "..") return std::nullopt;
  if (name.size() > 255) return std::nullopt;
  // Any separator is refused, a lone "/" included: the name must stay one entry of the chosen folder.
  if (name.find('/') != std::string_view::npos) return std::nullopt;
  if (name.find('\\') != std::string_view::npos) return std::nullopt;
  if (!isPrintableUTF8(name)) return std::nullopt;
  if (hasPartialFileForm(name)) return std::nullopt;
  return std::string(name);
}

std::optional<std::string> normalizedSHA256(std::string_view text) {
  if (text.size() != 64) return std::nullopt;
  const auto isHexDigit = [](char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
  };
  if (!std::all_of(text.begin(), text.end(), isHexDigit)) {
    return std::nullopt;
  }
  return lowercased(text);
}

}  // namespace veltrano
