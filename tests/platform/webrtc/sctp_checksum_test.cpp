// Our SCTP checksum against usrsctp's own over packets of every length a path carries. (That peers accept it is
// shown by the tests against aiortc and Chromium.)
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

#include <usrsctp.h>

#include "platform/webrtc/sctp_checksum.hpp"

namespace veltrano::webrtc {
namespace {

std::uint32_t stampedChecksum(const std::vector<std::uint8_t>& packet) {
  std::vector<std::uint8_t> copy = packet;
  stampSctpChecksum(copy);
  std::uint32_t checksum = 0;
  std::memcpy(&checksum, copy.data() + 8, sizeof checksum);
  // Nothing else of the packet changes.
  std::memcpy(copy.data() + 8, packet.data() + 8, sizeof checksum);
  EXPECT_EQ(copy, packet);
  return checksum;
}

TEST(SctpChecksum, MatchesUsrsctpForEveryLengthAndAnyPreviousField) {
  std::mt19937 random(7);
  for (std::size_t length = 12; length <= 1300; ++length) {
    std::vector<std::uint8_t> packet(length);
    for (auto& byte : packet) byte = static_cast<std::uint8_t>(random());
    std::vector<std::uint8_t> zeroed = packet;
    std::memset(zeroed.data() + 8, 0, 4);
    ASSERT_EQ(stampedChecksum(packet), usrsctp_crc32c(zeroed.data(), zeroed.size())) << length << " bytes";
  }
}

TEST(SctpChecksum, LeavesPacketsShorterThanAHeaderAlone) {
  std::vector<std::uint8_t> packet(11, 0xAB);
  stampSctpChecksum(packet);
  EXPECT_EQ(packet, std::vector<std::uint8_t>(11, 0xAB));
}

}  // namespace
}  // namespace veltrano::webrtc
