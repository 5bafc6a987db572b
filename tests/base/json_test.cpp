#include "base/json.hpp"

#include <gtest/gtest.h>

using namespace veltrano::json;

TEST(Json, TopLevelMustBeAValidObjectOrArray) {
  EXPECT_TRUE(parseObjectOrArray(R"({"a":1})").value);
  EXPECT_TRUE(parseObjectOrArray("[1,2]").value);
  EXPECT_FALSE(parseObjectOrArray("42").value);
  EXPECT_FALSE(parseObjectOrArray("\"text\"").value);
  EXPECT_FALSE(parseObjectOrArray("{").value);
  EXPECT_FALSE(parseObjectOrArray("").value);
  EXPECT_FALSE(parseObjectOrArray("{\"a\":\"\xff\xfe\"}").value);  // invalid UTF-8
  EXPECT_FALSE(parseObjectOrArray(R"({"a":1e400})").value);
  auto bad = parseObjectOrArray("{} trailing");
  EXPECT_FALSE(bad.value);
  EXPECT_FALSE(bad.error.empty());
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

namespace {

std::string nested(std::size_t depth, std::string_view open, std::string_view inner, std::string_view close) {
  std::string text;
  for (std::size_t i = 0; i < depth; ++i) text += open;
  text += inner;
  for (std::size_t i = 0; i < depth; ++i) text += close;
  return text;
}

}  // namespace

TEST(Json, NestingDeeperThanTheLimitIsInvalid) {
  struct Case {
    std::string text;
    bool accepted;
  };
  const std::string deepestString = nested(maximumNestingDepth - 1, R"({"a":)", R"(["[{[{\"[", 1])", "}");
  const std::vector<Case> cases = {
      {nested(maximumNestingDepth, "[", "", "]"), true},
      {nested(maximumNestingDepth + 1, "[", "", "]"), false},
      {nested(maximumNestingDepth, R"({"a":)", "1", "}"), true},
      {nested(maximumNestingDepth, R"({"a":)", "{}", "}"), false},
      {deepestString, true},  // brackets and escaped quotes inside strings do not nest
      {R"({"type":"ping","timestamp":)" + nested(80000, "[", "", "]") + "}", false},
      {nested(80000, "[", "", ""), false},  // unclosed, too deep either way
      {"[" + nested(maximumNestingDepth * 2, "[],", "[]", "") + "]", true},  // siblings are not nested
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text.substr(0, 80));
    const ParseResult result = parseObjectOrArray(c.text);
    EXPECT_EQ(result.value.has_value(), c.accepted);
    EXPECT_EQ(result.error.empty(), c.accepted);
  }
  EXPECT_EQ(parseObjectOrArray(nested(maximumNestingDepth + 1, "[", "", "]")).error, "nested deeper than 64 levels");
}

TEST(Json, LoggedTextIsCutAtACharacterBoundaryAndMarked) {
  struct Case {
    std::string text;
    std::size_t limit;
    std::string logged;
  };
  const std::string marker(veltrano::loggedTextCutMarker);
  const std::vector<Case> cases = {
      {"short", 5, "short"},
      {"longer", 5, "longe" + marker},
      {"ab\u00e9", 3, "ab" + marker},           // é is two bytes: not split
      {"a\U0001F600b", 4, "a" + marker},        // nor a four-byte emoji
      {"a\U0001F600b", 5, "a\U0001F600" + marker},
      {"", 0, ""},
  };
  for (const Case& c : cases) EXPECT_EQ(veltrano::loggedText(c.text, c.limit), c.logged) << c.text;
  EXPECT_EQ(veltrano::loggedText(std::string(100000, 'x')).size(), veltrano::maximumLoggedTextSize + marker.size());
}

TEST(Json, LoggedTextEscapesWhatCouldStartALineOrDriveATerminal) {
  const std::string marker(veltrano::loggedTextCutMarker);
  EXPECT_EQ(veltrano::loggedText("zz\n[NET] FAKE injected line"), "zz\\n[NET] FAKE injected line");
  EXPECT_EQ(veltrano::loggedText("a\rb\tc"), "a\\rb\\tc");
  EXPECT_EQ(veltrano::loggedText("\x1b[31mred\x7f"), "\\u001B[31mred\\u007F");
  EXPECT_EQ(veltrano::loggedText(std::string("nul\0", 4)), "nul\\u0000");
  EXPECT_EQ(veltrano::loggedText("next\u0085line\u2028and\u2029"), "next\\u0085line\\u2028and\\u2029");
  // Printable text beyond ASCII, and bytes that are not UTF-8, are left as they are.
  EXPECT_EQ(veltrano::loggedText("caf\u00e9 \u00a0\U0001F600 \xff"), "caf\u00e9 \u00a0\U0001F600 \xff");
  // The bound counts the escapes, which are never split.
  EXPECT_EQ(veltrano::loggedText("ab\n", 3), "ab" + marker);
  EXPECT_EQ(veltrano::loggedText("ab\n", 4), "ab\\n");
  EXPECT_EQ(veltrano::loggedText(std::string(1000, '\n')).size(), veltrano::maximumLoggedTextSize + marker.size());
}

TEST(Json, DumpIsCompactSurvivesInvalidUtf8AndItsLoggedFormStopsAtTheLimit) {
  EXPECT_EQ(dump(Json{{"type", "pong"}}), R"({"type":"pong"})");
  EXPECT_EQ(loggedDump(Json{{"a", 1}}), R"({"a":1})");
  Json big = Json::array();
  for (int i = 0; i < 100000; ++i) big.push_back(i);
  const std::string logged = loggedDump(big, 10);
  EXPECT_EQ(logged, "[0,1,2,3,4" + std::string(veltrano::loggedTextCutMarker));
  const Json notUtf8 = {{"s", std::string("\xff")}};
  EXPECT_EQ(loggedDump(notUtf8), dump(notUtf8));
}
