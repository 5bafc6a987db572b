#include "platform/crypto/signing_key.hpp"

#include <openssl/err.h>
#include <openssl/evp.h>

#include "platform/crypto/crypto_error.hpp"
#include "platform/crypto/openssl_handles.hpp"
#include "platform/crypto/random.hpp"

namespace veltrano::platform {

struct SigningKey::Key {
  detail::EvpPkeyPtr pkey;
};

namespace {

bool verifyWith(EVP_PKEY* pkey, ByteView message, ByteView signature) {
  if (signature.size() != SigningKey::signatureSize) return false;
  detail::EvpMdCtxPtr context(EVP_MD_CTX_new());
  if (!context || EVP_DigestVerifyInit(context.get(), nullptr, nullptr, nullptr, pkey) != 1) {
    throwOpenSslError("Ed25519 verify set-up failed");
  }
  const int result =
      EVP_DigestVerify(context.get(), signature.data(), signature.size(), message.data(), message.size());
  if (result != 1) ERR_clear_error();
  return result == 1;
}

}  // namespace

SigningKey::SigningKey(std::shared_ptr<const Key> key) : key_(std::move(key)) {
  std::size_t length = publicKey_.size();
  if (EVP_PKEY_get_raw_public_key(key_->pkey.get(), publicKey_.data(), &length) != 1 || length != publicKey_.size()) {
    throwOpenSslError("Ed25519 public key export failed");
  }
}

SigningKey SigningKey::generate() {
  SecureBytes seed = randomSecret(seedSize);
  return fromSeed(seed);
}

SigningKey SigningKey::fromSeed(ByteView seed) {
  if (seed.size() != seedSize) throw CryptoError("Ed25519 seed must be 32 bytes");
  auto key = std::make_shared<Key>();
  key->pkey.reset(EVP_PKEY_new_raw_private_key(EVP_PKEY_ED25519, nullptr, seed.data(), seed.size()));
  if (!key->pkey) throwOpenSslError("Ed25519 key import failed");
  return SigningKey(std::move(key));
}

SecureBytes SigningKey::seed() const {
  SecureBytes out(seedSize);
  std::size_t length = out.size();
  if (EVP_PKEY_get_raw_private_key(key_->pkey.get(), out.data(), &length) != 1 || length != seedSize) {
    throwOpenSslError("Ed25519 seed export failed");
  }
  return out;
}

Ed25519Signature SigningKey::sign(ByteView message) const {
  Ed25519Signature signature{};
  std::size_t length = signature.size();
  detail::EvpMdCtxPtr context(EVP_MD_CTX_new());
  if (!context || EVP_DigestSignInit(context.get(), nullptr, nullptr, nullptr, key_->pkey.get()) != 1 ||
      EVP_DigestSign(context.get(), signature.data(), &length, message.data(), message.size()) != 1 ||
      length != signature.size()) {
    throwOpenSslError("Ed25519 signing failed");
  }
  return signature;
}

bool SigningKey::verify(ByteView message, ByteView signature) const {
  return verifyWith(key_->pkey.get(), message, signature);
}

bool SigningKey::verify(ByteView publicKey, ByteView message, ByteView signature) {
  if (publicKey.size() != publicKeySize) return false;
  detail::EvpPkeyPtr pkey(
      EVP_PKEY_new_raw_public_key(EVP_PKEY_ED25519, nullptr, publicKey.data(), publicKey.size()));
  if (!pkey) {
    ERR_clear_error();
    return false;
  }
  return verifyWith(pkey.get(), message, signature);
}

}  // namespace veltrano::platform
