#include "control/unicode_text.hpp"

#include <unicode/ubrk.h>
#include <unicode/utext.h>

#include <cstdint>
#include <memory>

namespace veltrano {

namespace {

// Decodes one scalar at `i`; nullopt on a malformed, overlong or surrogate sequence.
std::optional<char32_t> decodeAt(std::string_view text, std::size_t& i) {
  const auto byte = [&](std::size_t k) { return static_cast<std::uint8_t>(text[k]); };
  const std::uint8_t lead = byte(i);
  std::size_t length = 0;
  char32_t scalar = 0;
  char32_t minimum = 0;
  if (lead < 0x80) {
    ++i;
    return lead;
  } else if ((lead & 0xE0) == 0xC0) {
    length = 2, scalar = lead & 0x1F, minimum = 0x80;
  } else if ((lead & 0xF0) == 0xE0) {
    length = 3, scalar = lead & 0x0F, minimum = 0x800;
  } else if ((lead & 0xF8) == 0xF0) {
    length = 4, scalar = lead & 0x07, minimum = 0x10000;
  } else {
    return std::nullopt;
  }
  if (i + length > text.size()) return std::nullopt;
  for (std::size_t k = 1; k < length; ++k) {
    const std::uint8_t next = byte(i + k);
    if ((next & 0xC0) != 0x80) return std::nullopt;
    scalar = (scalar << 6) | (next & 0x3F);
  }
  if (scalar < minimum || scalar > 0x10FFFF || (scalar >= 0xD800 && scalar <= 0xDFFF)) return std::nullopt;
  i += length;
  return scalar;
}

struct BreakIteratorCloser {
  void operator()(UBreakIterator* iterator) const { ubrk_close(iterator); }
};
struct UTextCloser {
  void operator()(UText* text) const { utext_close(text); }
};

}  // namespace

bool isValidUtf8(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size()) {
    if (!decodeAt(text, i)) return false;
  }
  return true;
}

std::optional<std::u32string> unicodeScalars(std::string_view text) {
  std::u32string scalars;
  scalars.reserve(text.size());
  std::size_t i = 0;
  while (i < text.size()) {
    const std::optional<char32_t> scalar = decodeAt(text, i);
    if (!scalar) return std::nullopt;
    scalars.push_back(*scalar);
  }
  return scalars;
}

namespace {
// Counts clusters, stopping once the count exceeds `stopAfter`.
std::size_t countClusters(std::string_view text, std::size_t stopAfter) {
  if (text.empty()) return 0;
  UErrorCode status = U_ZERO_ERROR;
  std::unique_ptr<UText, UTextCloser> utext(
      utext_openUTF8(nullptr, text.data(), static_cast<std::int64_t>(text.size()), &status));
  if (U_FAILURE(status)) return text.size();
  std::unique_ptr<UBreakIterator, BreakIteratorCloser> iterator(
      ubrk_open(UBRK_CHARACTER, "", nullptr, 0, &status));
  if (U_FAILURE(status)) return text.size();
  ubrk_setUText(iterator.get(), utext.get(), &status);
  if (U_FAILURE(status)) return text.size();
  std::size_t count = 0;
  ubrk_first(iterator.get());
  while (ubrk_next(iterator.get()) != UBRK_DONE) {
    if (++count > stopAfter) break;
  }
  return count;
}
}  // namespace

std::size_t characterCount(std::string_view text) { return countClusters(text, SIZE_MAX - 1); }

bool hasMoreCharactersThan(std::string_view text, std::size_t limit) {
  // Every character has at least one byte.
  if (text.size() <= limit) return false;
  return countClusters(text, limit) > limit;
}

}  // namespace veltrano
