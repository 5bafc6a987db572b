#include <gtest/gtest.h>

#include <set>

#include "base/encoding.hpp"
#include "platform/crypto/aes_gcm.hpp"
#include "platform/crypto/constant_time.hpp"
#include "platform/crypto/crypto_error.hpp"
#include "platform/crypto/hkdf.hpp"
#include "platform/crypto/random.hpp"
#include "platform/crypto/secure_bytes.hpp"
#include "platform/crypto/sha256.hpp"
#include "platform/crypto/signing_key.hpp"

namespace veltrano::platform {
namespace {

Bytes bytesOf(std::string_view text) { return Bytes(text.begin(), text.end()); }
Bytes hex(std::string_view text) { return hexDecode(text).value(); }

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
}

TEST(Sha256, LargeInputInUnevenPiecesMatchesOneShot) {
  Bytes data(1 << 20);
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>(i * 31 + 7);
  Sha256 hasher;
  std::size_t offset = 0;
  for (std::size_t piece = 1; offset < data.size(); piece = piece * 3 + 1) {
    const std::size_t n = std::min(piece, data.size() - offset);
    hasher.update(ByteView(data).subspan(offset, n));
    offset += n;
  }
  EXPECT_EQ(hasher.finish(), sha256(data));
}

TEST(HkdfSha256, Rfc5869TestCases) {
  // Test case 1.
  EXPECT_EQ(hexEncode(hkdfSha256(Bytes(22, 0x0b), hex("000102030405060708090a0b0c"), hex("f0f1f2f3f4f5f6f7f8f9"), 42)
                          .view()),
            "3cb25f25faacd57a90434f64d0362f2a2d2d0a90cf1a5a4c5db02d56ecc4c5bf34007208d5b887185865");
  // Test case 3: no salt, no info.
  EXPECT_EQ(hexEncode(hkdfSha256(Bytes(22, 0x0b), {}, {}, 42).view()),
            "8da4e775a563c18f715f802a063c5a31b8a11f5c5ee1879ec3454e5f3c738d2d9d201395faa4b61a96c8");
}

TEST(Random, DrawsHaveTheRequestedSizeAndDoNotRepeat) {
  std::set<Bytes> seen;
  for (int i = 0; i < 64; ++i) {
    Bytes draw = randomBytes(16);
    ASSERT_EQ(draw.size(), 16u);
    EXPECT_TRUE(seen.insert(draw).second);
  }
  EXPECT_EQ(randomSecret(32).size(), 32u);
  EXPECT_TRUE(randomBytes(0).empty());
}

TEST(ConstantTimeEqual, ComparesContentAndLength) {
  const Bytes a = {1, 2, 3, 4};
  EXPECT_TRUE(constantTimeEqual(a, Bytes{1, 2, 3, 4}));
  EXPECT_FALSE(constantTimeEqual(a, Bytes{1, 2, 3, 5}));
  EXPECT_FALSE(constantTimeEqual(a, Bytes{0, 2, 3, 4}));
  EXPECT_FALSE(constantTimeEqual(a, Bytes{1, 2, 3}));
  EXPECT_TRUE(constantTimeEqual({}, {}));
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

// RFC 8032 section 7.1, test 1.
constexpr std::string_view kSeed = "9d61b19deffd5a60ba844af492ec2cc44449c5697b326919703bac031cae7f60";
constexpr std::string_view kPublicKey = "d75a980182b10ab7d54bfed3c964073a0ee172f3daa62325af021a68f707511a";
constexpr std::string_view kEmptySignature =
    "e5564300c360ac729086e2cc806e828a84877f1eb8e5d974d873e065224901555fb8821590a33bacc61e39701cf9b46bd25bf5f0595bbe24655141438e7a100b";
constexpr std::string_view kAbcSignature =
    "80d724b01e7ca260f4cc7f8de7c95f73cfac615bab1f762b6435b6ec26c8cf6d2c758dae2f87399a8eeda1cbcd2835ac5ba66d6ecaa3aba5e567a751053dc207";

TEST(SigningKey, Rfc8032Test1KnownAnswers) {
  const SigningKey key = SigningKey::fromSeed(hex(kSeed));
  EXPECT_EQ(hexEncode(key.publicKey()), kPublicKey);
  EXPECT_EQ(hexEncode(key.seed().view()), kSeed);
  EXPECT_EQ(hexEncode(key.sign({})), kEmptySignature);
  EXPECT_EQ(hexEncode(key.sign(asBytes("abc"))), kAbcSignature);
  EXPECT_TRUE(SigningKey::verify(hex(kPublicKey), {}, hex(kEmptySignature)));
  EXPECT_TRUE(key.verify(asBytes("abc"), hex(kAbcSignature)));
}

TEST(SigningKey, VerificationRefusesAnyChange) {
  const SigningKey key = SigningKey::fromSeed(hex(kSeed));
  const auto signature = key.sign(asBytes("message"));
  EXPECT_TRUE(key.verify(asBytes("message"), signature));
  EXPECT_FALSE(key.verify(asBytes("messagE"), signature));
  for (std::size_t i = 0; i < signature.size(); i += 7) {
    auto altered = signature;
    altered[i] ^= 0x01;
    EXPECT_FALSE(key.verify(asBytes("message"), altered)) << "byte " << i;
  }
  EXPECT_FALSE(key.verify(asBytes("message"), ByteView(signature).first(63)));
  EXPECT_FALSE(SigningKey::verify(ByteView(key.publicKey()).first(31), asBytes("message"), signature));
  const SigningKey other = SigningKey::generate();
  EXPECT_FALSE(other.verify(asBytes("message"), signature));
  EXPECT_FALSE(SigningKey::verify(other.publicKey(), asBytes("message"), signature));
}

TEST(SigningKey, GeneratedKeysAreDistinctAndRoundTripThroughTheirSeed) {
  const SigningKey a = SigningKey::generate();
  const SigningKey b = SigningKey::generate();
  EXPECT_NE(a.publicKey(), b.publicKey());
  const SigningKey restored = SigningKey::fromSeed(a.seed());
  EXPECT_EQ(restored.publicKey(), a.publicKey());
  EXPECT_TRUE(a.verify(asBytes("x"), restored.sign(asBytes("x"))));
  EXPECT_THROW(SigningKey::fromSeed(Bytes(31, 1)), CryptoError);
}

}  // namespace
}  // namespace veltrano::platform
