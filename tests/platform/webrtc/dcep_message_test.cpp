#include <gtest/gtest.h>

#include "platform/webrtc/dcep_message.hpp"

namespace veltrano::webrtc {
namespace {

using Bytes = std::vector<std::uint8_t>;

TEST(DcepMessage, OpenAndAckRoundTripThroughTheirWireForm) {
  const DcepOpen unordered{.ordered = false,
                           .reliability = DcepReliability::maxRetransmits,
                           .reliabilityParameter = 0,
                           .priority = 256,
                           .label = "video.1",
                           .protocol = ""};
  // Type, channel type 0x81, priority, reliability, label length, protocol length, label.
  const Bytes wire{0x03, 0x81, 0x01, 0x00, 0, 0, 0, 0, 0, 7, 0, 0, 'v', 'i', 'd', 'e', 'o', '.', '1'};
  EXPECT_EQ(serializeDcepMessage(unordered), wire);
  for (const DcepMessage& message :
       {DcepMessage(unordered), DcepMessage(DcepAck{}),
        DcepMessage(DcepOpen{.reliability = DcepReliability::maxLifetime, .reliabilityParameter = 1500,
                             .label = "", .protocol = "chat"})}) {
    EXPECT_EQ(parseDcepMessage(serializeDcepMessage(message)), message);
  }
}

TEST(DcepMessage, MalformedMessagesAreRefused) {
  const std::vector<Bytes> malformed{
      {},
      {0x02, 0x00},                                      // ACK with a trailing byte
      {0x04},                                            // unknown type
      {0x03, 0x00, 0, 0, 0, 0, 0, 0, 0, 0, 0},           // OPEN shorter than its header
      {0x03, 0x03, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0},        // unknown channel type
      {0x03, 0x00, 0, 0, 0, 0, 0, 0, 0, 2, 0, 0, 'a'},   // label longer than the message
      {0x03, 0x00, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 'a', 'b'},  // bytes after the label
      {0x03, 0x00, 0, 0, 0, 0, 0, 0, 0xff, 0xff, 0xff, 0xff},  // lengths past any message
  };
  for (const auto& bytes : malformed) EXPECT_FALSE(parseDcepMessage(bytes)) << ::testing::PrintToString(bytes);
}

}  // namespace
}  // namespace veltrano::webrtc
