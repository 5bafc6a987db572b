#include "platform/crypto/aes_gcm.hpp"

#include <climits>

#include <openssl/err.h>

#include "platform/crypto/crypto_error.hpp"
#include "platform/crypto/random.hpp"
#include "platform/crypto/secure_bytes.hpp"

namespace veltrano::platform {

namespace {

detail::EvpCipherCtxPtr makeContext(ByteView key, int encrypt) {
  detail::EvpCipherCtxPtr context(EVP_CIPHER_CTX_new());
  if (!context || EVP_CipherInit_ex2(context.get(), detail::aes256Gcm(), key.data(), nullptr, encrypt, nullptr) != 1) {
    throwOpenSslError("AES-256-GCM key set-up failed");
  }
  return context;
}

void checkSizes(ByteView nonce, ByteView tag, std::size_t in, std::size_t out) {
  if (nonce.size() != AesGcm256::nonceSize) throw CryptoError("AES-256-GCM nonce must be 12 bytes");
  if (tag.size() != AesGcm256::tagSize) throw CryptoError("AES-256-GCM tag must be 16 bytes");
  if (in != out) throw CryptoError("AES-256-GCM output size differs from input size");
  if (in > INT_MAX) throw CryptoError("AES-256-GCM input too large");
}

}  // namespace

AesGcm256::AesGcm256(ByteView key) {
  if (key.size() != keySize) throw CryptoError("AES-256-GCM key must be 32 bytes");
  encryptor_ = makeContext(key, 1);
  decryptor_ = makeContext(key, 0);
}

void AesGcm256::seal(ByteView nonce, ByteView additionalData, ByteView plaintext, std::span<std::uint8_t> ciphertext,
                     std::span<std::uint8_t> tag) {
  checkSizes(nonce, tag, plaintext.size(), ciphertext.size());
  if (additionalData.size() > INT_MAX) throw CryptoError("AES-256-GCM additional data too large");
  EVP_CIPHER_CTX* context = encryptor_.get();
  int written = 0;
  if (EVP_EncryptInit_ex2(context, nullptr, nullptr, nonce.data(), nullptr) != 1 ||
      (!additionalData.empty() &&
       EVP_EncryptUpdate(context, nullptr, &written, additionalData.data(), static_cast<int>(additionalData.size())) !=
           1) ||
      (!plaintext.empty() && EVP_EncryptUpdate(context, ciphertext.data(), &written, plaintext.data(),
                                               static_cast<int>(plaintext.size())) != 1) ||
      EVP_EncryptFinal_ex(context, ciphertext.data() + plaintext.size(), &written) != 1 ||
      EVP_CIPHER_CTX_ctrl(context, EVP_CTRL_GCM_GET_TAG, static_cast<int>(tagSize), tag.data()) != 1) {
    throwOpenSslError("AES-256-GCM seal failed");
  }
}

bool AesGcm256::open(ByteView nonce, ByteView additionalData, ByteView ciphertext, ByteView tag,
                     std::span<std::uint8_t> plaintext) {
  checkSizes(nonce, tag, ciphertext.size(), plaintext.size());
  if (additionalData.size() > INT_MAX) throw CryptoError("AES-256-GCM additional data too large");
  EVP_CIPHER_CTX* context = decryptor_.get();
  int written = 0;
  if (EVP_DecryptInit_ex2(context, nullptr, nullptr, nonce.data(), nullptr) != 1 ||
      (!additionalData.empty() &&
       EVP_DecryptUpdate(context, nullptr, &written, additionalData.data(), static_cast<int>(additionalData.size())) !=
           1) ||
      (!ciphertext.empty() && EVP_DecryptUpdate(context, plaintext.data(), &written, ciphertext.data(),
                                                static_cast<int>(ciphertext.size())) != 1) ||
      EVP_CIPHER_CTX_ctrl(context, EVP_CTRL_GCM_SET_TAG, static_cast<int>(tagSize),
                          const_cast<std::uint8_t*>(tag.data())) != 1) {
    throwOpenSslError("AES-256-GCM open failed");
  }
  if (EVP_DecryptFinal_ex(context, plaintext.data() + ciphertext.size(), &written) != 1) {
    ERR_clear_error();
    cleanse(plaintext);
    return false;
  }
  return true;
}

Bytes sealCombined(ByteView key, ByteView plaintext, ByteView additionalData) {
  AesGcm256 cipher(key);
  Bytes box(AesGcm256::nonceSize + plaintext.size() + AesGcm256::tagSize);
  auto out = std::span<std::uint8_t>(box);
  auto nonce = out.first(AesGcm256::nonceSize);
  fillRandom(nonce);
  cipher.seal(nonce, additionalData, plaintext, out.subspan(AesGcm256::nonceSize, plaintext.size()),
              out.last(AesGcm256::tagSize));
  return box;
}

std::optional<Bytes> openCombined(ByteView key, ByteView box, ByteView additionalData) {
  if (box.size() < AesGcm256::nonceSize + AesGcm256::tagSize) return std::nullopt;
  AesGcm256 cipher(key);
  const std::size_t length = box.size() - AesGcm256::nonceSize - AesGcm256::tagSize;
  Bytes plaintext(length);
  if (!cipher.open(box.first(AesGcm256::nonceSize), additionalData, box.subspan(AesGcm256::nonceSize, length),
                   box.last(AesGcm256::tagSize), plaintext)) {
    return std::nullopt;
  }
  return plaintext;
}

}  // namespace veltrano::platform
