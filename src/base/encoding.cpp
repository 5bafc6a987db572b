#include "base/encoding.hpp"

#include <array>

namespace veltrano {

ByteView asBytes(std::string_view text) {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

std::string asString(ByteView bytes) {
  return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}

std::string hexEncode(ByteView bytes) {
  static constexpr char digits[] = "0123456789abcdef";
  std::string out;
  out.reserve(bytes.size() * 2);
  for (auto b : bytes) {
    out.push_back(digits[b >> 4]);
    out.push_back(digits[b & 0xF]);
  }
  return out;
}

namespace {
int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";

constexpr std::array<int, 256> makeReverse(Base64urlDecoding decoding) {
  std::array<int, 256> table{};
  for (auto& v : table) v = -1;
  for (int i = 0; i < 64; ++i) table[static_cast<unsigned char>(kAlphabet[i])] = i;
  if (decoding == Base64urlDecoding::lenient) {
    table['+'] = 62;
    table['/'] = 63;
  }
  return table;
}
constexpr auto kReverse = makeReverse(Base64urlDecoding::strict);
constexpr auto kLenientReverse = makeReverse(Base64urlDecoding::lenient);
}  // namespace

std::optional<Bytes> hexDecode(std::string_view text) {
  if (text.size() % 2 != 0) return std::nullopt;
  Bytes out;
  out.reserve(text.size() / 2);
  for (std::size_t i = 0; i < text.size(); i += 2) {
    int hi = hexValue(text[i]);
    int lo = hexValue(text[i + 1]);
    if (hi < 0 || lo < 0) return std::nullopt;
    out.push_back(static_cast<std::uint8_t>(hi << 4 | lo));
  }
  return out;
}

std::string base64urlEncode(ByteView bytes) {
  std::string out;
  out.reserve((bytes.size() + 2) / 3 * 4);
  std::size_t i = 0;
  for (; i + 3 <= bytes.size(); i += 3) {
    std::uint32_t v = bytes[i] << 16 | bytes[i + 1] << 8 | bytes[i + 2];
    out.push_back(kAlphabet[v >> 18 & 63]);
    out.push_back(kAlphabet[v >> 12 & 63]);
    out.push_back(kAlphabet[v >> 6 & 63]);
    out.push_back(kAlphabet[v & 63]);
  }
  std::size_t rest = bytes.size() - i;
  if (rest == 1) {
    std::uint32_t v = bytes[i] << 16;
    out.push_back(kAlphabet[v >> 18 & 63]);
    out.push_back(kAlphabet[v >> 12 & 63]);
  } else if (rest == 2) {
    std::uint32_t v = bytes[i] << 16 | bytes[i + 1] << 8;
    out.push_back(kAlphabet[v >> 18 & 63]);
    out.push_back(kAlphabet[v >> 12 & 63]);
    out.push_back(kAlphabet[v >> 6 & 63]);
  }
  return out;
}

std::optional<Bytes> base64urlDecode(std::string_view text, Base64urlDecoding decoding) {
  const bool strict = decoding == Base64urlDecoding::strict;
  std::size_t pad = 0;
  while (!text.empty() && text.back() == '=') {
    text.remove_suffix(1);
    ++pad;
  }
  const std::size_t rem = text.size() % 4;
  if (rem == 1) return std::nullopt;
  const std::size_t missing = (4 - rem) % 4;
  if (strict ? pad != 0 && pad != missing : pad > missing) return std::nullopt;

  const auto& reverse = strict ? kReverse : kLenientReverse;
  Bytes out;
  out.reserve(text.size() * 3 / 4);
  std::uint32_t acc = 0;
  int bits = 0;
  for (char c : text) {
    int v = reverse[static_cast<unsigned char>(c)];
    if (v < 0) return std::nullopt;
    acc = acc << 6 | static_cast<std::uint32_t>(v);
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      out.push_back(static_cast<std::uint8_t>(acc >> bits & 0xFF));
    }
  }
  // Leftover bits must be zero, or two texts would decode to the same bytes.
  if (strict && bits > 0 && (acc & ((1u << bits) - 1)) != 0) return std::nullopt;
  return out;
}

void appendBE16(Bytes& out, std::uint16_t v) {
  out.push_back(static_cast<std::uint8_t>(v >> 8));
  out.push_back(static_cast<std::uint8_t>(v));
}
void appendBE32(Bytes& out, std::uint32_t v) {
  for (int s = 24; s >= 0; s -= 8) out.push_back(static_cast<std::uint8_t>(v >> s));
}
void appendBE64(Bytes& out, std::uint64_t v) {
  for (int s = 56; s >= 0; s -= 8) out.push_back(static_cast<std::uint8_t>(v >> s));
}
std::uint16_t readBE16(const std::uint8_t* p) { return static_cast<std::uint16_t>(p[0] << 8 | p[1]); }
std::uint32_t readBE32(const std::uint8_t* p) {
  return std::uint32_t(p[0]) << 24 | std::uint32_t(p[1]) << 16 | std::uint32_t(p[2]) << 8 | p[3];
}
std::uint64_t readBE64(const std::uint8_t* p) {
  return std::uint64_t(readBE32(p)) << 32 | readBE32(p + 4);
}

}  // namespace veltrano
