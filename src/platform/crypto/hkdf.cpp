#include "platform/crypto/hkdf.hpp"

#include <openssl/core_names.h>
#include <openssl/params.h>

#include "platform/crypto/crypto_error.hpp"
#include "platform/crypto/openssl_handles.hpp"

namespace veltrano::platform {

namespace {
// OpenSSL's parameter API takes non-const pointers for input buffers it only reads.
void* readOnly(ByteView bytes) {
  static std::uint8_t empty = 0;
  return bytes.empty() ? &empty : const_cast<std::uint8_t*>(bytes.data());
}
}  // namespace

SecureBytes hkdfSha256(ByteView inputKeyMaterial, ByteView salt, ByteView info, std::size_t length) {
  detail::EvpKdfCtxPtr context(EVP_KDF_CTX_new(detail::hkdf()));
  if (!context) throwOpenSslError("HKDF context");
  char digestName[] = "SHA256";
  OSSL_PARAM params[] = {
      OSSL_PARAM_construct_utf8_string(OSSL_KDF_PARAM_DIGEST, digestName, 0),
      OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_KEY, readOnly(inputKeyMaterial), inputKeyMaterial.size()),
      OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_SALT, readOnly(salt), salt.size()),
      OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_INFO, readOnly(info), info.size()),
      OSSL_PARAM_construct_end(),
  };
  SecureBytes output(length);
  if (EVP_KDF_derive(context.get(), output.data(), output.size(), params) != 1) throwOpenSslError("HKDF failed");
  return output;
}

}  // namespace veltrano::platform
