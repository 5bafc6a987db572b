#pragma once
// The "VLF1" chunk frame that carries one piece of a file on either transport (big-endian):
//   0 "VLF1" | 4 version 1 | 5 three reserved bytes | 8 transfer identifier, 36 ASCII bytes |
//   44 offset, u64 | 52 payload length, u32 <= 49152 | 56 payload
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>

#include "base/encoding.hpp"

namespace veltrano {

inline constexpr std::size_t chunkFrameHeaderSize = 56;
inline constexpr std::size_t maximumChunkPayloadSize = 49152;

struct RemoteFileChunk {
  std::string transferID;  // normalized
  std::uint64_t offset = 0;
  Bytes payload;
  bool operator==(const RemoteFileChunk&) const = default;
};

class RemoteFileTransferProtocolError : public std::runtime_error {
 public:
  enum class Code { invalidChunk };
  explicit RemoteFileTransferProtocolError(Code code) : std::runtime_error("invalid file chunk frame"), code_(code) {}
  Code code() const { return code_; }

 private:
  Code code_;
};

// Throws invalidChunk for an identifier that does not normalize or a payload over 49152 bytes.
Bytes encodeChunkFrame(const RemoteFileChunk& chunk);
Bytes encodeChunkFrame(std::string_view transferID, std::uint64_t offset, ByteView payload);

// Throws invalidChunk at the first failed check; upper-case identifiers come out lowercased.
RemoteFileChunk decodeChunkFrame(ByteView frame);

}  // namespace veltrano
