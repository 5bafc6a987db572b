#include "base/uuid.hpp"

#include "base/encoding.hpp"

#include <openssl/rand.h>

#include <stdexcept>

namespace veltrano {

Uuid Uuid::random() {
  Uuid u;
  if (RAND_bytes(u.bytes_.data(), static_cast<int>(u.bytes_.size())) != 1) {
    throw std::runtime_error("random source unavailable");
  }
  u.bytes_[6] = static_cast<std::uint8_t>((u.bytes_[6] & 0x0F) | 0x40);
  u.bytes_[8] = static_cast<std::uint8_t>((u.bytes_[8] & 0x3F) | 0x80);
  return u;
}

std::optional<Uuid> Uuid::parse(std::string_view text) {
  if (text.size() != 36) return std::nullopt;
  std::string hex;
  for (std::size_t i = 0; i < text.size(); ++i) {
    bool dash = i == 8 || i == 13 || i == 18 || i == 23;
    if (dash != (text[i] == '-')) return std::nullopt;
    if (!dash) hex.push_back(text[i]);
  }
  auto bytes = hexDecode(hex);
  if (!bytes) return std::nullopt;
  Uuid u;
  std::copy(bytes->begin(), bytes->end(), u.bytes_.begin());
  return u;
}

std::string Uuid::text() const {
  std::string hex = hexEncode(bytes_);
  return hex.substr(0, 8) + "-" + hex.substr(8, 4) + "-" + hex.substr(12, 4) + "-" + hex.substr(16, 4) + "-" +
         hex.substr(20);
}

}  // namespace veltrano
