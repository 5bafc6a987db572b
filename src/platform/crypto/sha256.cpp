#include "platform/crypto/sha256.hpp"

#include "platform/crypto/crypto_error.hpp"

namespace veltrano::platform {

Sha256Digest sha256(ByteView data) {
  Sha256Digest digest{};
  unsigned int length = 0;
  if (EVP_Digest(data.data(), data.size(), digest.data(), &length, detail::sha256Digest(), nullptr) != 1 ||
      length != digest.size()) {
    throwOpenSslError("SHA-256 failed");
  }
  return digest;
}

Sha256::Sha256() : context_(EVP_MD_CTX_new()) {
  if (!context_ || EVP_DigestInit_ex2(context_.get(), detail::sha256Digest(), nullptr) != 1) {
    throwOpenSslError("SHA-256 init failed");
  }
}

void Sha256::update(ByteView data) {
  if (data.empty()) return;
  if (EVP_DigestUpdate(context_.get(), data.data(), data.size()) != 1) throwOpenSslError("SHA-256 update failed");
}

Sha256Digest Sha256::finish() {
  Sha256Digest digest{};
  unsigned int length = 0;
  if (EVP_DigestFinal_ex(context_.get(), digest.data(), &length) != 1 || length != digest.size() ||
      EVP_DigestInit_ex2(context_.get(), detail::sha256Digest(), nullptr) != 1) {
    throwOpenSslError("SHA-256 final failed");
  }
  return digest;
}

}  // namespace veltrano::platform
