#pragma once
// Fixed-size secret bytes (keys, seeds) that are wiped when they go away.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

#include "base/encoding.hpp"

namespace veltrano::platform {

class SecureBytes {
 public:
  SecureBytes() = default;
  explicit SecureBytes(std::size_t size);  // zero-filled
  explicit SecureBytes(ByteView bytes);
  SecureBytes(const SecureBytes& other);
  SecureBytes& operator=(const SecureBytes& other);
  SecureBytes(SecureBytes&& other) noexcept;
  SecureBytes& operator=(SecureBytes&& other) noexcept;
  ~SecureBytes();

  std::uint8_t* data() { return bytes_.get(); }
  const std::uint8_t* data() const { return bytes_.get(); }
  std::size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  ByteView view() const { return {bytes_.get(), size_}; }
  std::span<std::uint8_t> span() { return {bytes_.get(), size_}; }
  operator ByteView() const { return view(); }

 private:
  void wipe() noexcept;

  std::unique_ptr<std::uint8_t[]> bytes_;
  std::size_t size_ = 0;
};

// Overwrites bytes in a way the compiler cannot drop.
void cleanse(std::span<std::uint8_t> bytes) noexcept;

}  // namespace veltrano::platform
