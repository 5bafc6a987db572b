// Feeds data-channel messages made from the input to the "VLC1" reader of one session: raw messages, or chunk
// frames composed from a few header bytes with the payload length a writer would give them, so that assemblies
// fill, complete, expire and give way. Whatever arrives, a delivered chunked message has its announced length and a
// label never holds more partial messages than its bound, nor the session more bytes than its own.
#include <cstddef>
#include <cstdint>
#include <string>

#include "base/encoding.hpp"
#include "remote/chunk_reassembly.hpp"
#include "remote/data_channel_chunks.hpp"

using namespace veltrano;

namespace {

// Composed frames: identifier (1 byte, few values), index (1 byte), total length (3 bytes).
Bytes composedFrame(ByteView piece) {
  if (piece.size() < 5) return Bytes(piece.begin(), piece.end());
  const std::uint32_t total = (piece[2] << 16 | piece[3] << 8 | piece[4]) * 64u;
  const std::uint64_t count = chunkCountFor(total);
  const std::uint16_t index = static_cast<std::uint16_t>(piece[1] % count);
  Bytes frame{'V', 'L', 'C', '1'};
  appendBE32(frame, piece[0] % 40);
  appendBE16(frame, index);
  appendBE16(frame, static_cast<std::uint16_t>(count));
  appendBE32(frame, total);
  frame.resize(frame.size() + chunkPayloadLengthFor(total, index), piece[0]);
  return frame;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  ChunkReassembly reassembly;
  const std::string labels[] = {"veltrano.control", "veltrano.video.1"};
  Clock::TimePoint now;
  ByteView rest(data, size);
  // Each message: a control byte (label, composed or raw, time step), a two-byte length, then up to that many bytes.
  while (rest.size() >= 3) {
    const std::uint8_t control = rest[0];
    const std::size_t length = std::min<std::size_t>(readBE16(rest.data() + 1), rest.size() - 3);
    const ByteView piece = rest.subspan(3, length);
    rest = rest.subspan(3 + length);
    const std::string& label = labels[control & 1];
    const Bytes message = (control & 2) != 0 ? composedFrame(piece) : Bytes(piece.begin(), piece.end());
    now += std::chrono::milliseconds((control >> 2) * 40);
    const std::optional<Bytes> delivered = reassembly.receive(label, message, now);
    const std::optional<ChunkHeader> header = readChunkHeader(message);
    if (delivered && !header && *delivered != message) __builtin_trap();
    if (delivered && header && delivered->size() != header->totalLength) __builtin_trap();
    if (reassembly.openMessageIDs(label).size() > ChunkReassembly::maximumOpenPerLabel) __builtin_trap();
    if (reassembly.announcedBytes() > ChunkReassembly::maximumOpenBytes) __builtin_trap();
  }
  return 0;
}
