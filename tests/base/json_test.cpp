#include "base/json.hpp"

#include <gtest/gtest.h>

using namespace veltrano::json;

TEST(Json, TopLevelMustBeObjectOrArray) {
  EXPECT_TRUE(parseObjectOrArray(R"({"a":1})").value);
  EXPECT_TRUE(parseObjectOrArray("[1,2]").value);
  EXPECT_FALSE(parseObjectOrArray("42").value);
  EXPECT_FALSE(parseObjectOrArray("\"text\"").value);
  EXPECT_FALSE(parseObjectOrArray("{").value);
  EXPECT_FALSE(parseObjectOrArray("").value);
  auto bad = parseObjectOrArray("{} trailing");
  EXPECT_FALSE(bad.value);
  EXPECT_FALSE(bad.error.empty());
}

TEST(Json, InvalidUtf8AndOverflowAreErrors) {
  EXPECT_FALSE(parseObjectOrArray("{\"a\":\"\xff\xfe\"}").value);
  EXPECT_FALSE(parseObjectOrArray(R"({"a":1e400})").value);
}

TEST(Json, BooleansAreNeverNumbersAndNumbersNeverBooleans) {
  auto v = *parseObjectOrArray(R"({"t":true,"one":1})").value;
  EXPECT_FALSE(intMember(v, "t"));
  EXPECT_FALSE(doubleMember(v, "t"));
  EXPECT_EQ(boolMember(v, "t"), true);
  EXPECT_FALSE(boolMember(v, "one"));
}

TEST(Json, IntegralDoublesCountAsIntegersOnlyWhenExactAndInRange) {
  auto v = *parseObjectOrArray(
                R"({"a":3.0,"b":3.5,"c":-2,"big":18446744073709551615,"huge":1e19,"neg":-1,"edge":9223372036854775807})")
                .value;
  EXPECT_EQ(intMember(v, "a"), 3);
  EXPECT_FALSE(intMember(v, "b"));
  EXPECT_EQ(intMember(v, "c"), -2);
  EXPECT_FALSE(intMember(v, "big"));
  EXPECT_EQ(uintMember(v, "big"), 18446744073709551615ULL);
  EXPECT_FALSE(intMember(v, "huge"));
  EXPECT_EQ(uintMember(v, "huge"), 10000000000000000000ULL);
  EXPECT_FALSE(uintMember(v, "neg"));
  EXPECT_EQ(intMember(v, "edge"), 9223372036854775807LL);
  EXPECT_EQ(doubleMember(v, "b"), 3.5);
  EXPECT_FALSE(stringMember(v, "a"));
  EXPECT_FALSE(intMember(v, "missing"));
}

TEST(Json, DumpIsCompactAndSurvivesInvalidUtf8) {
  Json j = {{"type", "pong"}};
  EXPECT_EQ(dump(j), R"({"type":"pong"})");
  Json bad = {{"m", std::string("\xff")}};
  EXPECT_NO_THROW(dump(bad));
}
