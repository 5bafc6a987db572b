#include "filetransfer/remote_file_chunk.hpp"

#include <cstring>

#include "filetransfer/transfer_text_rules.hpp"

namespace veltrano {

namespace {
constexpr std::uint8_t frameMagic[4] = {'V', 'L', 'F', '1'};
constexpr std::uint8_t frameVersion = 1;
constexpr std::size_t identifierOffset = 8;
constexpr std::size_t identifierSize = 36;

[[noreturn]] void invalidChunk() {
  throw RemoteFileTransferProtocolError(RemoteFileTransferProtocolError::Code::invalidChunk);
}
}  // namespace

Bytes encodeChunkFrame(std::string_view transferID, std::uint64_t offset, ByteView payload) {
  auto identifier = normalizedTransferID(transferID);
  if (!identifier) invalidChunk();
  if (payload.size() > maximumChunkPayloadSize) invalidChunk();
  Bytes frame;
  frame.reserve(chunkFrameHeaderSize + payload.size());
  frame.insert(frame.end(), std::begin(frameMagic), std::end(frameMagic));
  frame.push_back(frameVersion);
  frame.insert(frame.end(), 3, 0);
  frame.insert(frame.end(), identifier->begin(), identifier->end());
  appendBE64(frame, offset);
  appendBE32(frame, static_cast<std::uint32_t>(payload.size()));
  frame.insert(frame.end(), payload.begin(), payload.end());
  return frame;
}

Bytes encodeChunkFrame(const RemoteFileChunk& chunk) {
  return encodeChunkFrame(chunk.transferID, chunk.offset, chunk.payload);
}

RemoteFileChunk decodeChunkFrame(ByteView frame) {
  if (frame.size() < chunkFrameHeaderSize) invalidChunk();
  if (std::memcmp(frame.data(), frameMagic, sizeof frameMagic) != 0) invalidChunk();
  if (frame[4] != frameVersion) invalidChunk();
  // The identifier rule admits only ASCII, so valid UTF-8 is implied by passing it.
  auto identifier = normalizedTransferID(asString(frame.subspan(identifierOffset, identifierSize)));
  if (!identifier) invalidChunk();
  const std::uint64_t offset = readBE64(frame.data() + 44);
  const std::uint32_t length = readBE32(frame.data() + 52);
  if (length > maximumChunkPayloadSize) invalidChunk();
  if (frame.size() != chunkFrameHeaderSize + length) invalidChunk();
  RemoteFileChunk chunk;
  chunk.transferID = std::move(*identifier);
  chunk.offset = offset;
  chunk.payload.assign(frame.begin() + chunkFrameHeaderSize, frame.end());
  return chunk;
}

}  // namespace veltrano
