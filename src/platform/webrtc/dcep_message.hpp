#pragma once
// The Data Channel Establishment Protocol's two messages (DATA_CHANNEL_OPEN and DATA_CHANNEL_ACK) and the
// payload protocol identifiers that data channels use on SCTP.
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <variant>
#include <vector>

namespace veltrano::webrtc {

namespace ppid {
constexpr std::uint32_t control = 50;
constexpr std::uint32_t string = 51;
constexpr std::uint32_t binary = 53;
constexpr std::uint32_t stringEmpty = 56;
constexpr std::uint32_t binaryEmpty = 57;
}  // namespace ppid

enum class DcepReliability : std::uint8_t { reliable = 0x00, maxRetransmits = 0x01, maxLifetime = 0x02 };

struct DcepOpen {
  bool ordered = true;
  DcepReliability reliability = DcepReliability::reliable;
  std::uint32_t reliabilityParameter = 0;  // retransmissions or milliseconds; 0 for reliable channels
  std::uint16_t priority = 256;
  std::string label;
  std::string protocol;

  bool operator==(const DcepOpen&) const = default;
};

struct DcepAck {
  bool operator==(const DcepAck&) const = default;
};

using DcepMessage = std::variant<DcepOpen, DcepAck>;

// nullopt for anything that is not exactly one well-formed message (unknown type or channel type, lengths that
// disagree with the size).
std::optional<DcepMessage> parseDcepMessage(std::span<const std::uint8_t> bytes);
std::vector<std::uint8_t> serializeDcepMessage(const DcepMessage& message);

}  // namespace veltrano::webrtc
