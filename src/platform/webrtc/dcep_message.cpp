#include "platform/webrtc/dcep_message.hpp"

#include "base/encoding.hpp"

namespace veltrano::webrtc {

namespace {

constexpr std::uint8_t openType = 0x03;
constexpr std::uint8_t ackType = 0x02;
constexpr std::uint8_t unorderedBit = 0x80;
constexpr std::size_t openHeaderSize = 12;

}  // namespace

std::optional<DcepMessage> parseDcepMessage(std::span<const std::uint8_t> bytes) {
  if (bytes.empty()) return std::nullopt;
  if (bytes[0] == ackType) {
    if (bytes.size() != 1) return std::nullopt;
    return DcepAck{};
  }
  if (bytes[0] != openType || bytes.size() < openHeaderSize) return std::nullopt;
  const std::uint8_t channelType = bytes[1];
  const auto reliability = static_cast<DcepReliability>(channelType & ~unorderedBit);
  if (reliability != DcepReliability::reliable && reliability != DcepReliability::maxRetransmits &&
      reliability != DcepReliability::maxLifetime) {
    return std::nullopt;
  }
  const std::size_t labelLength = readBE16(bytes.data() + 8);
  const std::size_t protocolLength = readBE16(bytes.data() + 10);
  if (openHeaderSize + labelLength + protocolLength != bytes.size()) return std::nullopt;
  DcepOpen open;
  open.ordered = (channelType & unorderedBit) == 0;
  open.reliability = reliability;
  open.priority = readBE16(bytes.data() + 2);
  open.reliabilityParameter = readBE32(bytes.data() + 4);
  const auto* text = reinterpret_cast<const char*>(bytes.data() + openHeaderSize);
  open.label.assign(text, labelLength);
  open.protocol.assign(text + labelLength, protocolLength);
  return open;
}

std::vector<std::uint8_t> serializeDcepMessage(const DcepMessage& message) {
  if (std::holds_alternative<DcepAck>(message)) return {ackType};
  const auto& open = std::get<DcepOpen>(message);
  // Labels and protocols longer than the 16-bit length fields are cut by the caller's checks, never here.
  Bytes out{openType,
            static_cast<std::uint8_t>(static_cast<std::uint8_t>(open.reliability) | (open.ordered ? 0 : unorderedBit))};
  appendBE16(out, open.priority);
  appendBE32(out, open.reliabilityParameter);
  appendBE16(out, static_cast<std::uint16_t>(open.label.size()));
  appendBE16(out, static_cast<std::uint16_t>(open.protocol.size()));
  out.insert(out.end(), open.label.begin(), open.label.end());
  out.insert(out.end(), open.protocol.begin(), open.protocol.end());
  return out;
}

}  // namespace veltrano::webrtc
