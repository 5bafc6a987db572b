#include <gtest/gtest.h>

#include "base/encoding.hpp"
#include "platform/crypto/hkdf.hpp"
#include "platform/crypto/sha256.hpp"

namespace veltrano::platform {
namespace {

Bytes hex(std::string_view text) { return hexDecode(text).value(); }

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

}  // namespace
}  // namespace veltrano::platform
