#pragma once
// Stores one upload: chunk frames are written in strict order into a hidden partial file
// ".veltrano-<transferID>.download" (mode 0600) beside the destination and hashed as they arrive; finish checks the
// size, the SHA-256 and that nobody touched the destination meanwhile, then moves the partial file into place.
//
// Every file operation is relative to the chosen folder's descriptor, so nothing is ever written outside it, and
// the partial file is created exclusively without following links. While a writer lives its partial file is
// locked; partial files of this host that nobody holds (left by a crash) are removed when a new upload into the
// same folder begins.
//
// An actor on the file-I/O pool: create, write, finish, abort and destinationUnchanged run one at a time there.
// requestAbort() may be called from any thread: a finish that has not yet moved the file into place then leaves
// the destination untouched.
#include <sys/types.h>

#include <boost/asio/awaitable.hpp>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "base/continuation.hpp"
#include "base/encoding.hpp"
#include "base/executors.hpp"
#include "filetransfer/file_system.hpp"
#include "filetransfer/file_transfer_errors.hpp"
#include "filetransfer/remote_file_chunk.hpp"
#include "filetransfer/remote_file_messages.hpp"
#include "platform/crypto/sha256.hpp"

namespace veltrano {

struct RemoteFileDestinationSnapshot {
  bool existed = false;
  std::optional<std::uint64_t> size;
  std::optional<FileTimestamp> modificationDate;
  std::optional<std::uint64_t> systemNumber;
  std::optional<std::uint64_t> fileNumber;
  bool operator==(const RemoteFileDestinationSnapshot&) const = default;
};

// The hidden partial file's name for a transfer.
std::string partialFileName(const std::string& transferID);

// The chunk that `frame` carries when it is the next one of the upload `offer` after `receivedBytes`: same
// transfer, at that offset, not empty, within the offered size. Throws IncomingRemoteFileError (invalidData) or
// RemoteFileTransferProtocolError (a frame that does not decode).
RemoteFileChunk nextChunkOfUpload(ByteView frame, const RemoteFileOffer& offer, std::uint64_t receivedBytes);

class IncomingRemoteFileWriter : public std::enable_shared_from_this<IncomingRemoteFileWriter> {
 public:
  // Room kept free on the destination volume beyond the file itself.
  static constexpr std::uint64_t storageReserve = 16 * 1024 * 1024;

  // Throws IncomingRemoteFileError, or std::system_error when the folder or the destination cannot be examined.
  static boost::asio::awaitable<std::shared_ptr<IncomingRemoteFileWriter>> create(RemoteFileOffer offer,
                                                                                 std::filesystem::path destination);
  ~IncomingRemoteFileWriter();

  // Writes one chunk frame; returns the bytes received so far. Throws IncomingRemoteFileError or
  // RemoteFileTransferProtocolError (a frame that does not decode).
  boost::asio::awaitable<std::uint64_t> write(Bytes frame);
  // The same write for a caller that goes on elsewhere than where it asked: `written` runs on the writer's
  // executor once the frame is written, with the bytes received so far, or nullopt when it was refused.
  void write(Bytes frame, std::function<void(std::optional<std::uint64_t>)> written);
  // Verifies the upload against the client's size and lowercase checksum and moves it into place. The completion
  // travels apart from the chunks and may come before the last of them: when the size is the offered one, the
  // finish first waits up to `bytesWait` for the bytes still missing (an abort or a refused chunk ends the wait).
  static constexpr std::chrono::seconds announcedBytesWait{30};
  boost::asio::awaitable<void> finish(std::uint64_t size, std::string sha256,
                                      std::chrono::milliseconds bytesWait = announcedBytesWait);
  // Closes and deletes the partial file; never throws; does nothing after a successful finish.
  boost::asio::awaitable<void> abort();
  boost::asio::awaitable<bool> destinationUnchanged();

  // Any thread. True when the destination will not be touched any more; false when it already holds the upload.
  bool requestAbort();

  const RemoteFileOffer& offer() const { return offer_; }
  const std::filesystem::path& destinationPath() const { return destinationPath_; }
  const std::filesystem::path& partialPath() const { return partialPath_; }
  const RemoteFileDestinationSnapshot& destinationSnapshot() const { return destinationSnapshot_; }

 private:
  IncomingRemoteFileWriter(Strand strand, RemoteFileOffer offer, std::filesystem::path destination);
  static boost::asio::awaitable<std::shared_ptr<IncomingRemoteFileWriter>> createOnStrand(
      std::shared_ptr<IncomingRemoteFileWriter> writer);
  void prepare();
  std::uint64_t writeOnStrand(const Bytes& frame);
  boost::asio::awaitable<void> awaitAnnouncedBytes(std::chrono::milliseconds bytesWait);
  void endBytesWait();
  void finishOnStrand(std::uint64_t size, const std::string& sha256);
  void abortOnStrand();
  bool destinationUnchangedOnStrand() const;
  void moveIntoPlace();

  const Strand strand_;
  const RemoteFileOffer offer_;
  const std::filesystem::path destinationPath_;
  const std::string destinationName_;
  const std::string partialName_;
  const std::filesystem::path partialPath_;

  // Strand state.
  FileDescriptor directory_;
  FileDescriptor handle_;
  RemoteFileDestinationSnapshot destinationSnapshot_;
  mode_t destinationMode_ = 0;
  platform::Sha256 hasher_;
  std::uint64_t receivedBytes_ = 0;
  EarlyWriteOut writeOut_;
  bool finishStarted_ = false;
  std::optional<Continuation<>> bytesAwaited_;  // while a finish waits for the announced bytes
  bool partialRemembered_ = false;  // listed for the program's last clean-up until this writer goes

  // The commit point, shared with requestAbort().
  enum class Commitment { open, aborted, stored };
  std::mutex commitMutex_;
  Commitment commitment_ = Commitment::open;
};

}  // namespace veltrano
