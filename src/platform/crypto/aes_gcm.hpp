#pragma once
// AES-256-GCM with a key schedule set up once, for sealing many messages under one key.
// One object is not safe for concurrent use; give each thread or direction its own, or lock.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "base/encoding.hpp"
#include "platform/crypto/openssl_handles.hpp"

namespace veltrano::platform {

class AesGcm256 {
 public:
  static constexpr std::size_t keySize = 32;
  static constexpr std::size_t nonceSize = 12;
  static constexpr std::size_t tagSize = 16;

  // Throws CryptoError when the key is not 32 bytes.
  explicit AesGcm256(ByteView key);
  AesGcm256(AesGcm256&&) noexcept = default;
  AesGcm256& operator=(AesGcm256&&) noexcept = default;

  // Encrypts `plaintext` into `ciphertext` (same size; the two may be the very same bytes) and
  // writes the 16-byte tag.
  void seal(ByteView nonce, ByteView additionalData, ByteView plaintext, std::span<std::uint8_t> ciphertext,
            std::span<std::uint8_t> tag);

  // Decrypts into `plaintext` (same size as `ciphertext`; may be the same bytes). Answers false when
  // the tag does not authenticate; `plaintext` is then wiped.
  [[nodiscard]] bool open(ByteView nonce, ByteView additionalData, ByteView ciphertext, ByteView tag,
                          std::span<std::uint8_t> plaintext);

 private:
  detail::EvpCipherCtxPtr encryptor_;
  detail::EvpCipherCtxPtr decryptor_;
};

// Combined form used for payloads sealed with a random nonce: nonce(12) ‖ ciphertext ‖ tag(16).
Bytes sealCombined(ByteView key, ByteView plaintext, ByteView additionalData = {});
// nullopt when the box is shorter than 28 bytes or does not authenticate.
std::optional<Bytes> openCombined(ByteView key, ByteView box, ByteView additionalData = {});

}  // namespace veltrano::platform
