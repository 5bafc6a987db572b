#include "platform/crypto/secure_bytes.hpp"

#include <algorithm>
#include <utility>

#include <openssl/crypto.h>

namespace veltrano::platform {

void cleanse(std::span<std::uint8_t> bytes) noexcept {
  if (!bytes.empty()) OPENSSL_cleanse(bytes.data(), bytes.size());
}

SecureBytes::SecureBytes(std::size_t size) : bytes_(new std::uint8_t[size]()), size_(size) {}

SecureBytes::SecureBytes(ByteView bytes) : bytes_(new std::uint8_t[bytes.size()]), size_(bytes.size()) {
  std::copy(bytes.begin(), bytes.end(), bytes_.get());
}

SecureBytes::SecureBytes(const SecureBytes& other) : SecureBytes(other.view()) {}

SecureBytes& SecureBytes::operator=(const SecureBytes& other) {
  if (this != &other) *this = SecureBytes(other);
  return *this;
}

SecureBytes::SecureBytes(SecureBytes&& other) noexcept
    : bytes_(std::move(other.bytes_)), size_(std::exchange(other.size_, 0)) {}

SecureBytes& SecureBytes::operator=(SecureBytes&& other) noexcept {
  if (this != &other) {
    wipe();
    bytes_ = std::move(other.bytes_);
    size_ = std::exchange(other.size_, 0);
  }
  return *this;
}

SecureBytes::~SecureBytes() { wipe(); }

void SecureBytes::wipe() noexcept {
  if (bytes_) cleanse({bytes_.get(), size_});
  bytes_.reset();
  size_ = 0;
}

}  // namespace veltrano::platform
