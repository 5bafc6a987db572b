#include "platform/crypto/constant_time.hpp"

#include <openssl/crypto.h>

namespace veltrano::platform {

bool constantTimeEqual(ByteView a, ByteView b) {
  if (a.size() != b.size()) return false;
  if (a.empty()) return true;
  return CRYPTO_memcmp(a.data(), b.data(), a.size()) == 0;
}

}  // namespace veltrano::platform
