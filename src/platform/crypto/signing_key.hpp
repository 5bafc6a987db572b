#pragma once
// Ed25519 signing key held as an OpenSSL key; raw 32-byte seeds and public keys at the edges.
// Copies share the underlying key; all operations are safe from several threads at once.
#include <array>
#include <cstdint>
#include <memory>

#include "base/encoding.hpp"
#include "platform/crypto/secure_bytes.hpp"

namespace veltrano::platform {

using Ed25519PublicKey = std::array<std::uint8_t, 32>;
using Ed25519Signature = std::array<std::uint8_t, 64>;

class SigningKey {
 public:
  static constexpr std::size_t seedSize = 32;
  static constexpr std::size_t publicKeySize = 32;
  static constexpr std::size_t signatureSize = 64;

  static SigningKey generate();
  // Throws CryptoError when the seed is not 32 bytes.
  static SigningKey fromSeed(ByteView seed);

  // The 32-byte private seed (RFC 8032 "private key").
  SecureBytes seed() const;
  const Ed25519PublicKey& publicKey() const { return publicKey_; }

  Ed25519Signature sign(ByteView message) const;
  // False for a signature that does not verify, including one of the wrong length.
  bool verify(ByteView message, ByteView signature) const;
  static bool verify(ByteView publicKey, ByteView message, ByteView signature);

 private:
  struct Key;
  explicit SigningKey(std::shared_ptr<const Key> key);

  std::shared_ptr<const Key> key_;
  Ed25519PublicKey publicKey_{};
};

}  // namespace veltrano::platform
