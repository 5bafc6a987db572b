#pragma once
// Cryptographically secure random bytes from OpenSSL's DRBG.
#include <cstddef>
#include <cstdint>
#include <span>

#include "base/encoding.hpp"
#include "platform/crypto/secure_bytes.hpp"

namespace veltrano::platform {

void fillRandom(std::span<std::uint8_t> out);
Bytes randomBytes(std::size_t count);
SecureBytes randomSecret(std::size_t count);

}  // namespace veltrano::platform
