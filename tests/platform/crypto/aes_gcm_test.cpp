#include <gtest/gtest.h>

#include "base/encoding.hpp"
#include "platform/crypto/aes_gcm.hpp"
#include "platform/crypto/crypto_error.hpp"
#include "platform/crypto/random.hpp"

namespace veltrano::platform {
namespace {

Bytes bytesOf(std::string_view text) { return Bytes(text.begin(), text.end()); }

// "The Galois/Counter Mode of Operation", test cases 13 and 14 (AES-256, zero key and IV).
TEST(AesGcm256, KnownAnswers) {
  AesGcm256 cipher(Bytes(32, 0));
  const Bytes nonce(12, 0);
  Bytes tag(16);
  cipher.seal(nonce, {}, {}, {}, tag);
  EXPECT_EQ(hexEncode(tag), "530f8afbc74536b9a963b4f1c4cb738b");

  Bytes ciphertext(16);
  cipher.seal(nonce, {}, Bytes(16, 0), ciphertext, tag);
  EXPECT_EQ(hexEncode(ciphertext), "cea7403d4d606b6e074ec5d3baf39d18");
  EXPECT_EQ(hexEncode(tag), "d0d1c8a799996bf0265b98b5d48ab919");

  Bytes plaintext(16, 0xAA);
  EXPECT_TRUE(cipher.open(nonce, {}, ciphertext, tag, plaintext));
  EXPECT_EQ(plaintext, Bytes(16, 0));
}

TEST(AesGcm256, AuthenticatesCiphertextTagNonceAndAdditionalData) {
  AesGcm256 cipher(randomBytes(32));
  const Bytes nonce = randomBytes(12);
  const Bytes aad = bytesOf("header");
  const Bytes message = randomBytes(100);
  Bytes ciphertext(message.size());
  Bytes tag(16);
  cipher.seal(nonce, aad, message, ciphertext, tag);
  EXPECT_NE(ciphertext, message);

  Bytes out(message.size());
  ASSERT_TRUE(cipher.open(nonce, aad, ciphertext, tag, out));
  EXPECT_EQ(out, message);

  auto flipped = [](Bytes bytes, std::size_t i) {
    bytes[i] ^= 0x80;
    return bytes;
  };
  EXPECT_FALSE(cipher.open(nonce, aad, flipped(ciphertext, 50), tag, out));
  EXPECT_EQ(out, Bytes(message.size(), 0)) << "a refused plaintext is wiped";
  EXPECT_FALSE(cipher.open(nonce, aad, ciphertext, flipped(tag, 15), out));
  EXPECT_FALSE(cipher.open(flipped(nonce, 0), aad, ciphertext, tag, out));
  EXPECT_FALSE(cipher.open(nonce, flipped(aad, 2), ciphertext, tag, out));
  EXPECT_FALSE(cipher.open(nonce, {}, ciphertext, tag, out));
  EXPECT_FALSE(AesGcm256(randomBytes(32)).open(nonce, aad, ciphertext, tag, out));
  // The object stays usable after refusals.
  EXPECT_TRUE(cipher.open(nonce, aad, ciphertext, tag, out));
}

TEST(AesGcm256, WorksInPlace) {
  AesGcm256 cipher(randomBytes(32));
  const Bytes nonce = randomBytes(12);
  const Bytes message = randomBytes(4096);
  Bytes buffer = message;
  Bytes tag(16);
  cipher.seal(nonce, {}, buffer, buffer, tag);
  EXPECT_NE(buffer, message);
  ASSERT_TRUE(cipher.open(nonce, {}, buffer, tag, buffer));
  EXPECT_EQ(buffer, message);
}

TEST(AesGcm256, RefusesWrongSizes) {
  EXPECT_THROW(AesGcm256(Bytes(16, 0)), CryptoError);
  AesGcm256 cipher(Bytes(32, 0));
  Bytes out(4), tag(16);
  EXPECT_THROW(cipher.seal(Bytes(8, 0), {}, Bytes(4, 0), out, tag), CryptoError);
  EXPECT_THROW(cipher.seal(Bytes(12, 0), {}, Bytes(5, 0), out, tag), CryptoError);
  Bytes shortTag(8);
  EXPECT_THROW(cipher.seal(Bytes(12, 0), {}, Bytes(4, 0), out, shortTag), CryptoError);
}

TEST(AesGcmCombined, RoundTripAndRefusals) {
  const Bytes key = randomBytes(32);
  const Bytes box = sealCombined(key, bytesOf("payload"));
  ASSERT_EQ(box.size(), 12 + 7 + 16u);
  EXPECT_EQ(openCombined(key, box), bytesOf("payload"));
  EXPECT_NE(sealCombined(key, bytesOf("payload")), box) << "fresh nonce each time";

  for (std::size_t i = 0; i < box.size(); ++i) {
    Bytes altered = box;
    altered[i] ^= 0x01;
    EXPECT_FALSE(openCombined(key, altered)) << "byte " << i;
  }
  EXPECT_FALSE(openCombined(key, ByteView(box).first(27)));
  EXPECT_FALSE(openCombined(randomBytes(32), box));
  const Bytes empty = sealCombined(key, {});
  ASSERT_EQ(empty.size(), 28u);
  EXPECT_EQ(openCombined(key, empty), Bytes());
}

}  // namespace
}  // namespace veltrano::platform
