#include "base/log_text.hpp"

#include <algorithm>
#include <cstdio>

namespace veltrano {

namespace {

// The length of the UTF-8 sequence that starts at `at`, or 1 for a byte that does not start a whole one.
std::size_t sequenceLength(std::string_view text, std::size_t at) {
  const auto lead = static_cast<unsigned char>(text[at]);
  const std::size_t length = lead < 0x80 ? 1 : (lead & 0xE0) == 0xC0 ? 2 : (lead & 0xF0) == 0xE0 ? 3
                                                                        : (lead & 0xF8) == 0xF0 ? 4 : 1;
  if (at + length > text.size()) return 1;
  for (std::size_t i = 1; i < length; ++i) {
    if ((static_cast<unsigned char>(text[at + i]) & 0xC0) != 0x80) return 1;
  }
  return length;
}

// How one character appears in a log line: control characters (C0, DEL, C1) and line or paragraph separators
// escaped, so that no text can start a line of its own or drive a terminal; anything else unchanged.
std::string_view shownForm(std::string_view character, char (&escape)[8]) {
  const auto first = static_cast<unsigned char>(character[0]);
  unsigned int code = 0x110000;  // none
  if (character.size() == 1 && (first < 0x20 || first == 0x7F)) code = first;
  if (character.size() == 2 && first == 0xC2 && static_cast<unsigned char>(character[1]) < 0xA0) {
    code = static_cast<unsigned char>(character[1]);  // U+0080 to U+009F
  }
  if (character == "\u2028") code = 0x2028;
  if (character == "\u2029") code = 0x2029;
  if (code == 0x110000) return character;
  if (code == '\n') return "\\n";
  if (code == '\r') return "\\r";
  if (code == '\t') return "\\t";
  std::snprintf(escape, sizeof escape, "\\u%04X", code);
  return escape;
}

}  // namespace

std::string loggedText(std::string_view text, std::size_t limit) {
  std::string logged;
  logged.reserve(std::min(text.size(), limit) + loggedTextCutMarker.size());
  char escape[8];
  for (std::size_t at = 0; at < text.size();) {
    const std::size_t length = sequenceLength(text, at);
    const std::string_view shown = shownForm(text.substr(at, length), escape);
    if (logged.size() + shown.size() > limit) {
      logged.append(loggedTextCutMarker);
      break;
    }
    logged.append(shown);
    at += length;
  }
  return logged;
}

}  // namespace veltrano
