// Known answers of AES-GCM, HKDF, Ed25519 and SHA-256 are pinned by the wire protocol's vectors (transport tests);
// here what those vectors do not reach: refusals, sizes, incremental hashing and key material handling.
#include <gtest/gtest.h>

#include "base/encoding.hpp"
#include "platform/crypto/aes_gcm.hpp"
#include "platform/crypto/crypto_error.hpp"
#include "platform/crypto/random.hpp"
#include "platform/crypto/secure_bytes.hpp"
#include "platform/crypto/sha256.hpp"
#include "platform/crypto/signing_key.hpp"

namespace veltrano::platform {
namespace {

Bytes bytesOf(std::string_view text) { return Bytes(text.begin(), text.end()); }

TEST(AesGcm256, AuthenticatesCiphertextTagNonceAndAdditionalDataAndWorksInPlace) {
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
  // The object stays usable after refusals, and works in place.
  EXPECT_TRUE(cipher.open(nonce, aad, ciphertext, tag, out));
  Bytes buffer = message;
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

TEST(Sha256, KnownAnswersOneShotAndIncremental) {
  EXPECT_EQ(hexEncode(sha256({})), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  EXPECT_EQ(hexEncode(sha256(asBytes("abc"))), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");

  const std::string text = "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq";
  Sha256 hasher;
  for (std::size_t i = 0; i < text.size(); i += 5) hasher.update(asBytes(std::string_view(text).substr(i, 5)));
  EXPECT_EQ(hexEncode(hasher.finish()), "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
  // finish() starts over, so the same object hashes the next input from scratch.
  hasher.update(asBytes("abc"));
  EXPECT_EQ(hasher.finish(), sha256(asBytes("abc")));

  // A large input in uneven pieces.
  Bytes data(1 << 20);
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>(i * 31 + 7);
  std::size_t offset = 0;
  for (std::size_t piece = 1; offset < data.size(); piece = piece * 3 + 1) {
    const std::size_t n = std::min(piece, data.size() - offset);
    hasher.update(ByteView(data).subspan(offset, n));
    offset += n;
  }
  EXPECT_EQ(hasher.finish(), sha256(data));
}

TEST(SecureBytes, CopiesAreIndependentAndMovesEmptyTheSource) {
  SecureBytes original(Bytes{9, 8, 7});
  SecureBytes copy = original;
  copy.data()[0] = 1;
  EXPECT_EQ(original.data()[0], 9);
  SecureBytes moved = std::move(original);
  EXPECT_EQ(moved.size(), 3u);
  EXPECT_TRUE(original.empty());  // NOLINT(bugprone-use-after-move): the moved-from state is specified
  const SecureBytes zeros(4);
  EXPECT_EQ(Bytes(zeros.view().begin(), zeros.view().end()), Bytes(4, 0));
}

TEST(SigningKey, GeneratedKeysAreDistinctAndRoundTripThroughTheirSeed) {
  const SigningKey a = SigningKey::generate();
  const SigningKey b = SigningKey::generate();
  EXPECT_NE(a.publicKey(), b.publicKey());
  const SigningKey restored = SigningKey::fromSeed(a.seed());
  EXPECT_EQ(restored.publicKey(), a.publicKey());
  EXPECT_TRUE(a.verify(asBytes("x"), restored.sign(asBytes("x"))));
  EXPECT_FALSE(b.verify(asBytes("x"), restored.sign(asBytes("x"))));
  EXPECT_THROW(SigningKey::fromSeed(Bytes(31, 1)), CryptoError);
}

}  // namespace
}  // namespace veltrano::platform
