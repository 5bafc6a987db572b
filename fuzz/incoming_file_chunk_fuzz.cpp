// Feeds "VLF1" chunk frames made from the input through an upload's checks, as its writer applies them: raw
// frames, or frames built from an offset, an identifier choice and a payload, so that the checks behind a
// well-formed header are reached too. Accepted chunks must continue the upload exactly and stay within the offer.
// Nothing touches the file system, so every input is independent of the ones before.
#include <cstddef>
#include <cstdint>

#include "base/encoding.hpp"
#include "filetransfer/file_transfer_errors.hpp"
#include "filetransfer/incoming_remote_file_writer.hpp"
#include "filetransfer/remote_file_chunk.hpp"

namespace {

using namespace veltrano;

const std::string transferID = "a3c1e6f2-8b7d-4e59-9f0a-1d2c3b4a5e6f";

std::uint16_t readBE16(ByteView bytes) { return static_cast<std::uint16_t>(bytes[0] << 8 | bytes[1]); }

// One frame from the input; `composed` frames are an offset (8 bytes), an identifier choice and a payload.
Bytes frameOf(ByteView piece, bool composed) {
  if (!composed || piece.size() < 9) return Bytes(piece.begin(), piece.end());
  std::string identifier = transferID;
  if (piece[8] % 3 == 1) identifier = "A3C1E6F2-8B7D-4E59-9F0A-1D2C3B4A5E6F";
  if (piece[8] % 3 == 2) identifier = "b3c1e6f2-8b7d-4e59-9f0a-1d2c3b4a5e6f";
  return encodeChunkFrame(identifier, readBE64(piece.data()), piece.subspan(9));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 3) return 0;
  const bool composed = (data[0] & 1) != 0;
  const RemoteFileOffer offer{transferID, "upload", readBE16(ByteView(data + 1, 2))};
  ByteView rest(data + 3, size - 3);

  std::uint64_t received = 0;
  // Each frame: a two-byte length, then up to that many bytes.
  while (rest.size() >= 2) {
    const std::size_t length = std::min<std::size_t>(readBE16(rest), rest.size() - 2);
    const Bytes frame = frameOf(rest.subspan(2, length), composed);
    rest = rest.subspan(2 + length);
    try {
      const RemoteFileChunk chunk = nextChunkOfUpload(frame, offer, received);
      if (chunk.transferID != offer.transferID || chunk.offset != received || chunk.payload.empty()) __builtin_trap();
      received += chunk.payload.size();
      if (received > offer.size) __builtin_trap();
    } catch (const IncomingRemoteFileError&) {
    } catch (const RemoteFileTransferProtocolError&) {
    }
  }
  return 0;
}
