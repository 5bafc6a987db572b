#include "platform/crypto/random.hpp"

#include <algorithm>
#include <climits>

#include <openssl/rand.h>

#include "platform/crypto/crypto_error.hpp"

namespace veltrano::platform {

void fillRandom(std::span<std::uint8_t> out) {
  while (!out.empty()) {
    const std::size_t chunk = std::min<std::size_t>(out.size(), INT_MAX);
    if (RAND_bytes(out.data(), static_cast<int>(chunk)) != 1) throwOpenSslError("random bytes unavailable");
    out = out.subspan(chunk);
  }
}

Bytes randomBytes(std::size_t count) {
  Bytes out(count);
  fillRandom(out);
  return out;
}

SecureBytes randomSecret(std::size_t count) {
  SecureBytes out(count);
  fillRandom(out.span());
  return out;
}

}  // namespace veltrano::platform
