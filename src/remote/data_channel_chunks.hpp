#pragma once
// The "VLC1" chunk frame that carries every application message over a data channel: a 16-byte header
// (magic, message identifier, chunk index, chunk count, total length, all big-endian) and up to 60000 bytes of
// the message. Messages larger than one chunk are cut into consecutive pieces of 60000 bytes.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "base/encoding.hpp"

namespace veltrano {

inline constexpr std::size_t chunkHeaderSize = 16;
inline constexpr std::size_t chunkPayloadSize = 60000;

struct ChunkHeader {
  std::uint32_t messageID = 0;
  std::uint16_t index = 0;
  std::uint16_t count = 0;
  std::uint32_t totalLength = 0;
};

// The chunk count a writer uses for a message of `totalLength` bytes (1 for the empty message).
std::uint64_t chunkCountFor(std::uint64_t totalLength);
// The payload length a writer puts in chunk `index` of a message of `totalLength` bytes.
std::uint64_t chunkPayloadLengthFor(std::uint64_t totalLength, std::uint64_t index);
// Bytes a message takes on the wire, headers included.
std::uint64_t chunkedWireSize(std::uint64_t messageLength);

// The frames of one message in index order; empty when the message is too large for the frame's fields.
std::vector<Bytes> makeChunks(ByteView message, std::uint32_t messageID);

// The header of a chunk frame; nullopt when `data` is not one (shorter than a header, or without the magic).
std::optional<ChunkHeader> readChunkHeader(ByteView data);

}  // namespace veltrano
