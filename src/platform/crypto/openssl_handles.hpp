#pragma once
// Owning handles for OpenSSL objects, so that every exit path frees them.
#include <memory>

#include <openssl/evp.h>
#include <openssl/kdf.h>

namespace veltrano::platform::detail {

struct EvpPkeyFree {
  void operator()(EVP_PKEY* p) const { EVP_PKEY_free(p); }
};
struct EvpMdCtxFree {
  void operator()(EVP_MD_CTX* p) const { EVP_MD_CTX_free(p); }
};
struct EvpCipherCtxFree {
  void operator()(EVP_CIPHER_CTX* p) const { EVP_CIPHER_CTX_free(p); }
};
struct EvpCipherFree {
  void operator()(EVP_CIPHER* p) const { EVP_CIPHER_free(p); }
};
struct EvpMdFree {
  void operator()(EVP_MD* p) const { EVP_MD_free(p); }
};
struct EvpKdfFree {
  void operator()(EVP_KDF* p) const { EVP_KDF_free(p); }
};
struct EvpKdfCtxFree {
  void operator()(EVP_KDF_CTX* p) const { EVP_KDF_CTX_free(p); }
};

using EvpPkeyPtr = std::unique_ptr<EVP_PKEY, EvpPkeyFree>;
using EvpMdCtxPtr = std::unique_ptr<EVP_MD_CTX, EvpMdCtxFree>;
using EvpCipherCtxPtr = std::unique_ptr<EVP_CIPHER_CTX, EvpCipherCtxFree>;
using EvpCipherPtr = std::unique_ptr<EVP_CIPHER, EvpCipherFree>;
using EvpMdPtr = std::unique_ptr<EVP_MD, EvpMdFree>;
using EvpKdfPtr = std::unique_ptr<EVP_KDF, EvpKdfFree>;
using EvpKdfCtxPtr = std::unique_ptr<EVP_KDF_CTX, EvpKdfCtxFree>;

// Algorithms fetched once per process: an explicit fetch avoids OpenSSL 3's per-call implicit
// look-up. The returned objects live until exit and are safe to share between threads.
const EVP_CIPHER* aes256Gcm();
const EVP_MD* sha256Digest();
EVP_KDF* hkdf();

}  // namespace veltrano::platform::detail
