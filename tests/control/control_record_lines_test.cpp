// The line framing inside control records: what a received record must look like and how a message is written.
#include <gtest/gtest.h>

#include <limits>
#include <string>

#include "control/control_hello_message.hpp"
#include "control/control_record_lines.hpp"

namespace veltrano {
namespace {

Bytes bytesOf(const std::string& text) {
  const ByteView view = asBytes(text);
  return Bytes(view.begin(), view.end());
}

TEST(ControlRecordLines, AValidRecordGivesItsTrimmedLine) {
  EXPECT_EQ(commandLineOfRecord(bytesOf("{\"type\":\"ping\"}\n")), "{\"type\":\"ping\"}");
  EXPECT_EQ(commandLineOfRecord(bytesOf("  \t{\"a\":1}\r\n")), "{\"a\":1}");
  EXPECT_EQ(commandLineOfRecord(bytesOf("\u3000{\"a\":\"\u00e9\"}\u2029\u00a0\n")), "{\"a\":\"\u00e9\"}");
  EXPECT_EQ(commandLineOfRecord(bytesOf(" \n")), "") << "blank lines are skipped by the caller";
  EXPECT_EQ(commandLineOfRecord(bytesOf("\n")), "");
}

TEST(ControlRecordLines, InvalidRecordsAreRefused) {
  EXPECT_EQ(commandLineOfRecord(Bytes{}), std::nullopt);
  EXPECT_EQ(commandLineOfRecord(bytesOf("{\"type\":\"ping\"}")), std::nullopt);
  EXPECT_EQ(commandLineOfRecord(bytesOf("{}\n{}")), std::nullopt);
  EXPECT_EQ(commandLineOfRecord(Bytes{0xFF, '\n'}), std::nullopt);
  EXPECT_EQ(commandLineOfRecord(Bytes{0xE2, 0x82, '\n'}), std::nullopt) << "a truncated sequence";

  std::string atLimit(maximumControlRecordSize - 1, ' ');
  atLimit.push_back('\n');
  EXPECT_EQ(commandLineOfRecord(bytesOf(atLimit)), "");
  EXPECT_EQ(commandLineOfRecord(bytesOf(" " + atLimit)), std::nullopt);
}

TEST(ControlRecordLines, MessagesAreCompactObjectsEndingInALineFeed) {
  EXPECT_EQ(controlMessageLine({{"type", "pong"}, {"n", 1}}), "{\"n\":1,\"type\":\"pong\"}\n");
  EXPECT_EQ(controlMessageLine(json::Json::array({1, 2})), std::nullopt);
  EXPECT_EQ(controlMessageLine("text"), std::nullopt);
  EXPECT_EQ(controlMessageLine({{"v", std::numeric_limits<double>::quiet_NaN()}}), std::nullopt);
  EXPECT_EQ(controlMessageLine({{"v", {{"deep", {1.0, std::numeric_limits<double>::infinity()}}}}}), std::nullopt);
}

TEST(ControlHelloMessage, FileKeysComeTogether) {
  ControlHelloContent content;
  content.activeDisplayID = 2;
  content.displays = {{1, "A", 10, 20, 9100}, {2, "B", 30, 40, 9101}};
  json::Json hello = makeControlHelloMessage(content);
  EXPECT_EQ(hello["videoPort"], 9101);
  EXPECT_FALSE(hello.contains("filePort") || hello.contains("fileSessionID") || hello.contains("capabilities"));
  ASSERT_EQ(hello["displays"].size(), 2u);
  EXPECT_EQ(hello["displays"][0], (json::Json{{"id", 1}, {"name", "A"}, {"width", 10}, {"height", 20}, {"videoPort", 9100}}));

  content.fileChannel = ControlHelloFileChannel{9093, "0b9e4c1c-6f0c-4a5e-9c55-1f6f1b7e8a01"};
  hello = makeControlHelloMessage(content);
  EXPECT_EQ(hello["filePort"], 9093);
  EXPECT_EQ(hello["fileSessionID"], "0b9e4c1c-6f0c-4a5e-9c55-1f6f1b7e8a01");
  EXPECT_EQ(hello["capabilities"], (json::Json{"fileDownloadV1", "fileTransferV2"}));
}

}  // namespace
}  // namespace veltrano
