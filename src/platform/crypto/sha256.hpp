#pragma once
// SHA-256, one-shot or fed in pieces (for files that are read in chunks).
#include <array>
#include <cstdint>

#include "base/encoding.hpp"
#include "platform/crypto/openssl_handles.hpp"

namespace veltrano::platform {

using Sha256Digest = std::array<std::uint8_t, 32>;

Sha256Digest sha256(ByteView data);

class Sha256 {
 public:
  Sha256();
  Sha256(Sha256&&) noexcept = default;
  Sha256& operator=(Sha256&&) noexcept = default;

  void update(ByteView data);
  // Returns the digest and starts over, so the object can hash the next input.
  Sha256Digest finish();

 private:
  detail::EvpMdCtxPtr context_;
};

}  // namespace veltrano::platform
