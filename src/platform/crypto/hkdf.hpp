#pragma once
#include <cstddef>

#include "base/encoding.hpp"
#include "platform/crypto/secure_bytes.hpp"

namespace veltrano::platform {

// HKDF-SHA256 (RFC 5869, extract then expand).
SecureBytes hkdfSha256(ByteView inputKeyMaterial, ByteView salt, ByteView info, std::size_t length);

}  // namespace veltrano::platform
