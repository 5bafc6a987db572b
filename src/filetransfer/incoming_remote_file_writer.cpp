#include "filetransfer/incoming_remote_file_writer.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>

#include <cerrno>
#include <limits>
#include <system_error>

#include "base/actor.hpp"
#include "base/thread_checks.hpp"
#include "filetransfer/file_io_pool.hpp"
#include "filetransfer/partial_files_in_progress.hpp"
#include "filetransfer/remote_file_chunk.hpp"
#include "filetransfer/transfer_text_rules.hpp"
#include "transport/hex_byte_strings.hpp"

namespace veltrano {

namespace asio = boost::asio;
using Code = IncomingRemoteFileError::Code;

namespace {

[[noreturn]] void fail(Code code) { throw IncomingRemoteFileError(code); }

std::uint64_t availableCapacity(int directoryFD) {
  struct statvfs volume {};
  if (::fstatvfs(directoryFD, &volume) != 0) throwErrno("fstatvfs");
  const std::uint64_t blocks = volume.f_bavail;
  const std::uint64_t blockSize = volume.f_frsize;
  if (blockSize != 0 && blocks > std::numeric_limits<std::uint64_t>::max() / blockSize) {
    return std::numeric_limits<std::uint64_t>::max();
  }
  return blocks * blockSize;
}

bool isPartialFileName(std::string_view name) {
  if (name.size() != partialFilePrefix.size() + 36 + partialFileSuffix.size()) return false;
  if (!name.starts_with(partialFilePrefix) || !name.ends_with(partialFileSuffix)) return false;
  const auto identifier = name.substr(partialFilePrefix.size(), 36);
  auto normalized = normalizedTransferID(identifier);
  return normalized && *normalized == identifier;
}

// Removes the partial files in the folder that belong to this user and that no living writer holds: each writer
// keeps an exclusive lock on its partial file, so one that can be locked was left behind by a crash.
void removeAbandonedPartialFiles(int directoryFD) {
  const int listFD = ::openat(directoryFD, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (listFD < 0) return;
  DIR* listing = ::fdopendir(listFD);
  if (!listing) {
    ::close(listFD);
    return;
  }
  std::vector<std::string> candidates;
  while (auto* entry = ::readdir(listing)) {
    if (isPartialFileName(entry->d_name)) candidates.emplace_back(entry->d_name);
  }
  ::closedir(listing);
  for (const auto& name : candidates) {
    struct stat status {};
    if (::fstatat(directoryFD, name.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0) continue;
    if (!S_ISREG(status.st_mode) || status.st_uid != ::geteuid()) continue;
    FileDescriptor candidate(::openat(directoryFD, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (!candidate) continue;
    if (::flock(candidate.get(), LOCK_EX | LOCK_NB) != 0) continue;  // a writer is using it
    struct stat opened = statDescriptor(candidate.get());
    if (opened.st_ino != status.st_ino || opened.st_dev != status.st_dev) continue;
    ::unlinkat(directoryFD, name.c_str(), 0);
  }
}

}  // namespace

std::string partialFileName(const std::string& transferID) {
  return std::string(partialFilePrefix) + transferID + std::string(partialFileSuffix);
}

IncomingRemoteFileWriter::IncomingRemoteFileWriter(Strand strand, RemoteFileOffer offer,
                                                   std::filesystem::path destination)
    : strand_(std::move(strand)),
      offer_(std::move(offer)),
      destinationPath_(std::move(destination)),
      destinationName_(destinationPath_.filename().string()),
      partialName_(partialFileName(offer_.transferID)),
      partialPath_(destinationPath_.parent_path() / partialName_) {}

IncomingRemoteFileWriter::~IncomingRemoteFileWriter() {
  if (partialRemembered_) forgetPartialFileInProgress(partialPath_);
}

asio::awaitable<std::shared_ptr<IncomingRemoteFileWriter>> IncomingRemoteFileWriter::create(
    RemoteFileOffer offer, std::filesystem::path destination) {
  destination = destination.lexically_normal();
  std::shared_ptr<IncomingRemoteFileWriter> writer(
      new IncomingRemoteFileWriter(makeFileActorStrand(), std::move(offer), std::move(destination)));
  const auto strand = writer->strand_;
  co_return co_await runOn(strand, createOnStrand(std::move(writer)));
}

asio::awaitable<std::shared_ptr<IncomingRemoteFileWriter>> IncomingRemoteFileWriter::createOnStrand(
    std::shared_ptr<IncomingRemoteFileWriter> writer) {
  writer->prepare();
  co_return writer;
}

void IncomingRemoteFileWriter::prepare() {
  assertOnStrand(strand_);
  if (!destinationPath_.is_absolute()) fail(Code::invalidDestination);
  if (!sanitizedFileName(destinationName_)) fail(Code::invalidDestination);

  const auto folder = destinationPath_.parent_path();
  directory_ = FileDescriptor(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!directory_) {
    if (errno == ENOTDIR) fail(Code::invalidDestination);
    throwErrno("open folder");
  }

  const std::uint64_t capacity = availableCapacity(directory_.get());
  if (capacity > 0) {
    if (offer_.size > std::numeric_limits<std::uint64_t>::max() - storageReserve) fail(Code::insufficientStorage);
    if (capacity < offer_.size + storageReserve) fail(Code::insufficientStorage);
  }

  if (auto existing = statAtNoFollow(directory_.get(), destinationName_)) {
    if (!S_ISREG(existing->st_mode)) fail(Code::invalidDestination);  // folders, links, devices, pipes
    const auto identity = fileIdentity(*existing);
    destinationSnapshot_ = RemoteFileDestinationSnapshot{true, identity.size, identity.modificationDate,
                                                         identity.systemNumber, identity.fileNumber};
    destinationMode_ = existing->st_mode & 07777;
  }

  removeAbandonedPartialFiles(directory_.get());

  // Exclusive and without following links: a file or link already at this name is never reused.
  FileDescriptor partial(::openat(directory_.get(), partialName_.c_str(),
                                  O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
  if (!partial) fail(Code::invalidDestination);
  if (::fchmod(partial.get(), 0600) != 0 || ::flock(partial.get(), LOCK_EX | LOCK_NB) != 0) {
    partial.reset();
    ::unlinkat(directory_.get(), partialName_.c_str(), 0);
    fail(Code::writeFailed);
  }
  handle_ = std::move(partial);
  rememberPartialFileInProgress(partialPath_);
  partialRemembered_ = true;
}

asio::awaitable<std::uint64_t> IncomingRemoteFileWriter::write(Bytes frame) {
  co_return co_await runOn(strand_, [](std::shared_ptr<IncomingRemoteFileWriter> self,
                                       Bytes frame) -> asio::awaitable<std::uint64_t> {
    co_return self->writeOnStrand(frame);
  }(shared_from_this(), std::move(frame)));
}

void IncomingRemoteFileWriter::write(Bytes frame, std::function<void(std::optional<std::uint64_t>)> written) {
  asio::post(strand_, [self = shared_from_this(), frame = std::move(frame), written = std::move(written)] {
    std::optional<std::uint64_t> received;
    try {
      received = self->writeOnStrand(frame);
    } catch (...) {
    }
    written(received);
  });
}

RemoteFileChunk nextChunkOfUpload(ByteView frame, const RemoteFileOffer& offer, std::uint64_t receivedBytes) {
  auto chunk = decodeChunkFrame(frame);
  if (chunk.transferID != offer.transferID) fail(Code::invalidData);
  if (chunk.offset != receivedBytes) fail(Code::invalidData);
  if (chunk.payload.empty()) fail(Code::invalidData);
  if (offer.size < chunk.offset || offer.size - chunk.offset < chunk.payload.size()) fail(Code::invalidData);
  return chunk;
}

std::uint64_t IncomingRemoteFileWriter::writeOnStrand(const Bytes& frame) {
  assertOnStrand(strand_);
  try {
    // Only a finish that waits for the announced bytes still takes chunks.
    if (finishStarted_ && !bytesAwaited_) fail(Code::invalidData);
    const auto chunk = nextChunkOfUpload(frame, offer_, receivedBytes_);
    if (!handle_) fail(Code::invalidData);
    try {
      writeAllAt(handle_.get(), chunk.offset, chunk.payload);
    } catch (const std::system_error&) {
      fail(Code::writeFailed);
    }
    hasher_.update(chunk.payload);
    receivedBytes_ += chunk.payload.size();
    writeOut_.written(handle_.get(), receivedBytes_);
  } catch (...) {
    endBytesWait();  // the missing bytes will not come
    throw;
  }
  if (receivedBytes_ == offer_.size) endBytesWait();
  return receivedBytes_;
}

asio::awaitable<void> IncomingRemoteFileWriter::finish(std::uint64_t size, std::string sha256,
                                                       std::chrono::milliseconds bytesWait) {
  co_await runOn(strand_, [](std::shared_ptr<IncomingRemoteFileWriter> self, std::uint64_t size, std::string sha256,
                             std::chrono::milliseconds bytesWait) -> asio::awaitable<void> {
    if (self->finishStarted_) fail(Code::invalidData);
    self->finishStarted_ = true;  // later finishes fail, and writes once the bytes are in, whatever the outcome
    if (size == self->offer_.size && self->receivedBytes_ < size && self->handle_) {
      co_await self->awaitAnnouncedBytes(bytesWait);
    }
    self->finishOnStrand(size, sha256);
  }(shared_from_this(), size, std::move(sha256), bytesWait));
}

asio::awaitable<void> IncomingRemoteFileWriter::awaitAnnouncedBytes(std::chrono::milliseconds bytesWait) {
  assertOnStrand(strand_);
  const Continuation<> arrived;
  bytesAwaited_ = arrived;
  auto timer = std::make_shared<asio::steady_timer>(strand_, bytesWait);
  timer->async_wait([arrived](const boost::system::error_code&) { arrived.resume(); });
  co_await arrived.wait();
  timer->cancel();
  bytesAwaited_.reset();
}

void IncomingRemoteFileWriter::endBytesWait() {
  assertOnStrand(strand_);
  if (bytesAwaited_) bytesAwaited_->resume();
}

void IncomingRemoteFileWriter::finishOnStrand(std::uint64_t size, const std::string& sha256) {
  assertOnStrand(strand_);
  if (size != offer_.size || size != receivedBytes_) fail(Code::incomplete);
  std::string digest;
  for (const auto& byte : hexByteStrings(hasher_.finish())) digest += byte;
  if (digest != sha256) fail(Code::integrityFailed);
  if (!destinationUnchangedOnStrand()) fail(Code::destinationChanged);
  if (!handle_) fail(Code::writeFailed);
  // A replaced file keeps its permissions; a new one stays private to the user.
  if (destinationSnapshot_.existed && ::fchmod(handle_.get(), destinationMode_) != 0) fail(Code::writeFailed);
  if (::fsync(handle_.get()) != 0) fail(Code::writeFailed);
  // The handle (and with it the lock that marks the partial file as in use) is kept until the file is in place.
  moveIntoPlace();
  try {
    handle_.closeChecked();
  } catch (const std::system_error&) {
    // The bytes reached stable storage before the rename; nothing is lost.
  }
}

void IncomingRemoteFileWriter::moveIntoPlace() {
  assertOnStrand(strand_);
  // The commit point: a cancel or a lost channel that came first keeps the destination as it is.
  std::lock_guard lock(commitMutex_);
  if (commitment_ == Commitment::aborted) fail(Code::writeFailed);
  const int folder = directory_.get();
  int result;
  if (destinationSnapshot_.existed) {
    result = ::renameat(folder, partialName_.c_str(), folder, destinationName_.c_str());
  } else {
    result = ::renameat2(folder, partialName_.c_str(), folder, destinationName_.c_str(), RENAME_NOREPLACE);
    if (result != 0 && (errno == EINVAL || errno == ENOSYS)) {
      // File systems without the flag: a hard link also refuses to replace.
      result = ::linkat(folder, partialName_.c_str(), folder, destinationName_.c_str(), 0);
      if (result == 0) ::unlinkat(folder, partialName_.c_str(), 0);
    }
  }
  if (result != 0) fail(Code::writeFailed);
  commitment_ = Commitment::stored;
  ::fsync(folder);  // the rename itself reaches the disk; a failure here loses nothing already stored
}

bool IncomingRemoteFileWriter::requestAbort() {
  std::lock_guard lock(commitMutex_);
  if (commitment_ == Commitment::stored) return false;
  commitment_ = Commitment::aborted;
  return true;
}

asio::awaitable<void> IncomingRemoteFileWriter::abort() {
  co_await runOn(strand_, [](std::shared_ptr<IncomingRemoteFileWriter> self) -> asio::awaitable<void> {
    self->abortOnStrand();
    co_return;
  }(shared_from_this()));
}

void IncomingRemoteFileWriter::abortOnStrand() {
  assertOnStrand(strand_);
  {
    std::lock_guard lock(commitMutex_);
    if (commitment_ == Commitment::stored) return;
    commitment_ = Commitment::aborted;
  }
  endBytesWait();
  handle_.reset();
  if (directory_) ::unlinkat(directory_.get(), partialName_.c_str(), 0);
}

asio::awaitable<bool> IncomingRemoteFileWriter::destinationUnchanged() {
  co_return co_await runOn(strand_, [](std::shared_ptr<IncomingRemoteFileWriter> self) -> asio::awaitable<bool> {
    co_return self->destinationUnchangedOnStrand();
  }(shared_from_this()));
}

bool IncomingRemoteFileWriter::destinationUnchangedOnStrand() const {
  assertOnStrand(strand_);
  auto current = statAtNoFollow(directory_.get(), destinationName_);
  if (current.has_value() != destinationSnapshot_.existed) return false;
  if (!current) return true;
  const auto identity = fileIdentity(*current);
  const auto& then = destinationSnapshot_;
  return then.size == identity.size && then.modificationDate == identity.modificationDate &&
         then.systemNumber == identity.systemNumber && then.fileNumber == identity.fileNumber;
}

}  // namespace veltrano
