#include "base/log_text.hpp"

namespace veltrano {

std::string loggedText(std::string_view text, std::size_t limit) {
  if (text.size() <= limit) return std::string(text);
  std::size_t end = limit;
  // Back over continuation bytes (at most three in UTF-8) so that no character is split.
  for (int step = 0; step < 3 && end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80; ++step) --end;
  std::string cut(text.substr(0, end));
  cut.append(loggedTextCutMarker);
  return cut;
}

}  // namespace veltrano
