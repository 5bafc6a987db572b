#include "remote/data_channel_chunks.hpp"

#include <algorithm>
#include <array>
#include <limits>

namespace veltrano {

namespace {
constexpr std::array<std::uint8_t, 4> magic{'V', 'L', 'C', '1'};
}  // namespace

std::uint64_t chunkCountFor(std::uint64_t totalLength) {
  if (totalLength == 0) return 1;
  return (totalLength + chunkPayloadSize - 1) / chunkPayloadSize;
}

std::uint64_t chunkPayloadLengthFor(std::uint64_t totalLength, std::uint64_t index) {
  const std::uint64_t start = index * chunkPayloadSize;
  if (start >= totalLength) return 0;
  return std::min<std::uint64_t>(chunkPayloadSize, totalLength - start);
}

std::uint64_t chunkedWireSize(std::uint64_t messageLength) {
  return messageLength + chunkHeaderSize * chunkCountFor(messageLength);
}

std::vector<Bytes> makeChunks(ByteView message, std::uint32_t messageID) {
  const std::uint64_t total = message.size();
  const std::uint64_t count = chunkCountFor(total);
  if (total > std::numeric_limits<std::uint32_t>::max() || count > std::numeric_limits<std::uint16_t>::max()) return {};
  std::vector<Bytes> frames;
  frames.reserve(count);
  for (std::uint64_t index = 0; index < count; ++index) {
    const std::uint64_t start = index * chunkPayloadSize;
    const std::uint64_t length = chunkPayloadLengthFor(total, index);
    Bytes frame(magic.begin(), magic.end());
    frame.reserve(chunkHeaderSize + length);
    appendBE32(frame, messageID);
    appendBE16(frame, static_cast<std::uint16_t>(index));
    appendBE16(frame, static_cast<std::uint16_t>(count));
    appendBE32(frame, static_cast<std::uint32_t>(total));
    frame.insert(frame.end(), message.begin() + start, message.begin() + start + length);
    frames.push_back(std::move(frame));
  }
  return frames;
}

std::optional<ChunkHeader> readChunkHeader(ByteView data) {
  if (data.size() < chunkHeaderSize || !std::equal(magic.begin(), magic.end(), data.begin())) return std::nullopt;
  return ChunkHeader{readBE32(data.data() + 4), readBE16(data.data() + 8), readBE16(data.data() + 10),
                     readBE32(data.data() + 12)};
}

}  // namespace veltrano
