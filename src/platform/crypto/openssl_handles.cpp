#include "platform/crypto/openssl_handles.hpp"

#include "platform/crypto/crypto_error.hpp"

namespace veltrano::platform::detail {

const EVP_CIPHER* aes256Gcm() {
  static const EvpCipherPtr cipher = [] {
    EvpCipherPtr fetched(EVP_CIPHER_fetch(nullptr, "AES-256-GCM", nullptr));
    if (!fetched) throwOpenSslError("AES-256-GCM unavailable");
    return fetched;
  }();
  return cipher.get();
}

const EVP_MD* sha256Digest() {
  static const EvpMdPtr digest = [] {
    EvpMdPtr fetched(EVP_MD_fetch(nullptr, "SHA256", nullptr));
    if (!fetched) throwOpenSslError("SHA-256 unavailable");
    return fetched;
  }();
  return digest.get();
}

EVP_KDF* hkdf() {
  static const EvpKdfPtr kdf = [] {
    EvpKdfPtr fetched(EVP_KDF_fetch(nullptr, "HKDF", nullptr));
    if (!fetched) throwOpenSslError("HKDF unavailable");
    return fetched;
  }();
  return kdf.get();
}

}  // namespace veltrano::platform::detail
