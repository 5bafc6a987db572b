#include <gtest/gtest.h>

#include "base/encoding.hpp"
#include "platform/crypto/crypto_error.hpp"
#include "platform/crypto/signing_key.hpp"

namespace veltrano::platform {
namespace {

Bytes hex(std::string_view text) { return hexDecode(text).value(); }

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
