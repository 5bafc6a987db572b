#include "base/encoding.hpp"
#include "base/uuid.hpp"

#include <gtest/gtest.h>

using namespace veltrano;

TEST(Base64url, RoundTripsEveryLengthWithoutPadding) {
  Bytes data;
  for (int n = 0; n < 40; ++n) {
    std::string text = base64urlEncode(data);
    EXPECT_EQ(text.find('='), std::string::npos);
    EXPECT_EQ(text.find('+'), std::string::npos);
    EXPECT_EQ(text.find('/'), std::string::npos);
    auto back = base64urlDecode(text);
    ASSERT_TRUE(back) << text;
    EXPECT_EQ(*back, data);
    EXPECT_EQ(base64urlDecode(text, Base64urlDecoding::lenient), data) << text;
    data.push_back(static_cast<std::uint8_t>(0xF0 + n * 37));
  }
}

TEST(Base64url, KnownTextsPaddingRestoredAndWhatIsNotStrictBase64urlRefused) {
  EXPECT_EQ(base64urlEncode(asBytes("\xfb\xff")), "-_8");
  EXPECT_EQ(asString(*base64urlDecode("-_8")), "\xfb\xff");
  EXPECT_EQ(asString(*base64urlDecode("-_8=")), "\xfb\xff");  // sender kept the padding
  EXPECT_EQ(asString(*base64urlDecode("Zm9vYg")), "foob");
  // Standard alphabet, impossible length, non-zero trailing bits, wrong padding, whitespace, a NUL.
  const std::string_view refused[] = {"+/8", "Zm9vY", "-_9", "-_8==", "Zm9v Yg", std::string_view("Zm\0v", 4)};
  for (const std::string_view text : refused) EXPECT_FALSE(base64urlDecode(text)) << text;
}

TEST(Hex, EncodesLowercaseAndDecodesEitherCase) {
  Bytes b{0x00, 0xAB, 0x7f};
  EXPECT_EQ(hexEncode(b), "00ab7f");
  EXPECT_EQ(*hexDecode("00AB7f"), b);
  EXPECT_FALSE(hexDecode("abc"));
  EXPECT_FALSE(hexDecode("zz"));
}

TEST(Uuid, RandomIsVersion4LowercaseAndParsesBack) {
  auto a = Uuid::random();
  auto b = Uuid::random();
  EXPECT_NE(a, b);
  auto text = a.text();
  ASSERT_EQ(text.size(), 36u);
  EXPECT_EQ(text[14], '4');
  EXPECT_TRUE(text[19] == '8' || text[19] == '9' || text[19] == 'a' || text[19] == 'b');
  for (char c : text) EXPECT_FALSE(c >= 'A' && c <= 'Z');
  EXPECT_EQ(Uuid::parse(text), a);
  std::string upper = text;
  for (auto& c : upper) c = static_cast<char>(toupper(c));
  EXPECT_EQ(Uuid::parse(upper), a);
  EXPECT_FALSE(Uuid::parse("not-a-uuid"));
}
