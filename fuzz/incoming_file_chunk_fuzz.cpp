// Drives an upload's writer with "VLF1" chunk frames made from the input: raw frames, or frames built from an
// offset, an identifier choice and a payload so that the checks behind a well-formed header are reached too.
// The upload may then be finished with the checksum of what was accepted. Files go to a folder of this process
// that is emptied after every input: an aborted upload must leave no partial file, a stored one must hold exactly
// the accepted bytes.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <stdexcept>

#include "base/encoding.hpp"
#include "filetransfer/file_transfer_errors.hpp"
#include "filetransfer/incoming_remote_file_writer.hpp"
#include "filetransfer/remote_file_chunk.hpp"
#include "platform/crypto/sha256.hpp"
#include "support/run_blocking.hpp"

namespace {

using namespace veltrano;
namespace fs = std::filesystem;

const std::string transferID = "a3c1e6f2-8b7d-4e59-9f0a-1d2c3b4a5e6f";

// The folder of this process, removed when it exits.
class UploadFolder {
 public:
  UploadFolder() {
    std::string pattern = (fs::temp_directory_path() / "veltrano-fuzz-chunks-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
  }
  ~UploadFolder() {
    std::error_code ignored;
    fs::remove_all(path_, ignored);
  }
  const fs::path& path() const { return path_; }

 private:
  fs::path path_;
};

const fs::path& uploadFolder() {
  static const UploadFolder folder;
  return folder.path();
}

std::uint16_t readBE16(ByteView bytes) { return static_cast<std::uint16_t>(bytes[0] << 8 | bytes[1]); }

// One frame from the input; `composed` frames are an offset (8 bytes), an identifier choice and a payload.
Bytes frameOf(ByteView piece, bool composed) {
  if (!composed || piece.size() < 9) return Bytes(piece.begin(), piece.end());
  std::string identifier = transferID;
  if (piece[8] % 3 == 1) identifier = "A3C1E6F2-8B7D-4E59-9F0A-1D2C3B4A5E6F";
  if (piece[8] % 3 == 2) identifier = "b3c1e6f2-8b7d-4e59-9f0a-1d2c3b4a5e6f";
  return encodeChunkFrame(identifier, readBE64(piece.data()), piece.subspan(9));
}

bool isPresent(const fs::path& path) {
  std::error_code ignored;
  return fs::exists(path, ignored);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 3) return 0;
  const bool composed = (data[0] & 1) != 0;
  const bool finishing = (data[0] & 2) != 0;
  const std::uint64_t offerSize = readBE16(ByteView(data + 1, 2));
  ByteView rest(data + 3, size - 3);

  const fs::path destination = uploadFolder() / "upload";
  std::shared_ptr<IncomingRemoteFileWriter> writer;
  try {
    writer = testing::runBlocking(
        IncomingRemoteFileWriter::create(RemoteFileOffer{transferID, "upload", offerSize}, destination));
  } catch (const IncomingRemoteFileError&) {
    return 0;
  }

  platform::Sha256 accepted;
  std::uint64_t acceptedSize = 0;
  // Each frame: a two-byte length, then up to that many bytes.
  while (rest.size() >= 2) {
    const std::size_t length = std::min<std::size_t>(readBE16(rest), rest.size() - 2);
    const Bytes frame = frameOf(rest.subspan(2, length), composed);
    rest = rest.subspan(2 + length);
    try {
      const std::uint64_t received = testing::runBlocking(writer->write(frame));
      const RemoteFileChunk chunk = decodeChunkFrame(frame);
      accepted.update(chunk.payload);
      acceptedSize += chunk.payload.size();
      if (received != acceptedSize || acceptedSize > offerSize) __builtin_trap();
    } catch (const IncomingRemoteFileError&) {
    } catch (const RemoteFileTransferProtocolError&) {
    }
  }

  bool stored = false;
  if (finishing) {
    try {
      testing::runBlocking(writer->finish(offerSize, hexEncode(accepted.finish())));
      stored = true;
    } catch (const IncomingRemoteFileError&) {
    }
  }
  const fs::path partial = writer->partialPath();
  testing::runBlocking(writer->abort());
  writer.reset();
  if (isPresent(partial)) __builtin_trap();
  if (stored != isPresent(destination)) __builtin_trap();
  if (stored && (acceptedSize != offerSize || fs::file_size(destination) != offerSize)) __builtin_trap();
  std::error_code ignored;
  fs::remove(destination, ignored);
  return 0;
}
