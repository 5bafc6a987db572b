#include "filetransfer/remote_file_sender.hpp"

#include <boost/asio/defer.hpp>

#include <algorithm>
#include <exception>

#include "base/actor.hpp"
#include "base/thread_checks.hpp"
#include "filetransfer/file_io_pool.hpp"
#include "filetransfer/remote_file_chunk.hpp"
#include "platform/crypto/sha256.hpp"
#include "transport/hex_byte_strings.hpp"

namespace veltrano {

namespace asio = boost::asio;

namespace {
[[noreturn]] void fail(RemoteFileSendError::Code code) { throw RemoteFileSendError(code); }
}  // namespace

std::shared_ptr<RemoteFileSender> RemoteFileSender::create(DownloadSource source, std::string transferID,
                                                           RemoteFileTransferEndpointPtr endpoint,
                                                           Completion completion, RemoteFileSenderTiming timing) {
  return std::shared_ptr<RemoteFileSender>(new RemoteFileSender(std::move(source), std::move(transferID),
                                                                std::move(endpoint), std::move(completion), timing));
}

RemoteFileSender::RemoteFileSender(DownloadSource source, std::string transferID,
                                   RemoteFileTransferEndpointPtr endpoint, Completion completion,
                                   RemoteFileSenderTiming timing)
    : strand_(makeActorStrand()),
      source_(std::move(source)),
      transferID_(std::move(transferID)),
      endpoint_(std::move(endpoint)),
      completion_(std::move(completion)),
      timing_(timing) {}

asio::awaitable<void> RemoteFileSender::start() { co_await runOn(strand_, run()); }

// Deferred: a receipt read on one of the shared I/O threads sends the next chunk from that same thread once its
// handler returns, instead of waking another one; from elsewhere it is a plain post.
void RemoteFileSender::acknowledge(std::uint64_t offset) {
  asio::defer(strand_, [self = shared_from_this(), offset] { self->applyAcknowledgement(offset); });
}

void RemoteFileSender::cancel() {
  asio::defer(strand_, [self = shared_from_this()] { self->applyCancel(); });
}

void RemoteFileSender::applyAcknowledgement(std::uint64_t offset) {
  assertOnStrand(strand_);
  // A receipt may overtake the sink's answer for the chunk it confirms; anything past that chunk is not ours.
  if (offset > std::max(sentOffset_, offeredEnd_)) return;
  if (offset <= acknowledgedOffset_) return;
  acknowledgedOffset_ = offset;
  wake();
}

void RemoteFileSender::applyCancel() {
  assertOnStrand(strand_);
  isCancelled_ = true;
  wake();
}

void RemoteFileSender::wake() {
  assertOnStrand(strand_);
  if (auto waiter = std::exchange(waiter_, std::nullopt)) waiter->resume();
}

asio::awaitable<void> RemoteFileSender::waitForWake(Clock::TimePoint deadline) {
  assertOnStrand(strand_);
  if (deadline <= timing_.clock->now()) co_return;
  Continuation<> waiter;
  waiter_ = waiter;
  waitDeadline_ = deadline;
  watchDeadline(deadline);
  co_await waiter.wait();
}

void RemoteFileSender::watchDeadline(Clock::TimePoint deadline) {
  assertOnStrand(strand_);
  if (deadlineWatch_ && watchTarget_ <= deadline) return;  // it wakes first and moves on to this deadline
  stopWatchingDeadlines();
  watchTarget_ = deadline;
  deadlineWatch_ = Task::spawn(
      strand_, [self = shared_from_this()](TaskToken token) { return self->watchDeadlines(std::move(token)); });
}

asio::awaitable<void> RemoteFileSender::watchDeadlines(TaskToken token) {
  const auto keepAlive = shared_from_this();
  while (true) {
    co_await timing_.clock->sleepUntil(token, watchTarget_);  // throws once replaced or stopped
    assertOnStrand(strand_);
    if (waiter_ && waitDeadline_ > timing_.clock->now()) {
      watchTarget_ = waitDeadline_;
      continue;
    }
    deadlineWatch_ = Task();
    wake();  // a wait still in progress has reached its deadline
    co_return;
  }
}

void RemoteFileSender::stopWatchingDeadlines() {
  assertOnStrand(strand_);
  if (auto watch = std::exchange(deadlineWatch_, Task())) watch.cancel();
}

asio::awaitable<void> RemoteFileSender::run() {
  assertOnStrand(strand_);
  if (started_) co_return;
  started_ = true;
  std::optional<Result> result;
  try {
    result.emplace(co_await sendFile());
  } catch (const RemoteFileSendError& error) {
    result.emplace(error);
  } catch (...) {
    result.emplace(RemoteFileSendError(RemoteFileSendError::Code::readFailed));
  }
  co_await runOn(fileIoExecutor(), closeSource());  // on every way out
  stopWatchingDeadlines();
  auto completion = std::move(completion_);
  completion_ = nullptr;
  if (completion) completion(*result);
}

asio::awaitable<RemoteFileSendCompletion> RemoteFileSender::sendFile() {
  if (!source_.file || !*source_.file) fail(RemoteFileSendError::Code::readFailed);
  platform::Sha256 hash;
  std::uint64_t offset = 0;
  const std::uint64_t total = source_.snapshot.size;
  // The next piece is read (and the current one hashed) on the file threads while the client's receipt for the
  // current one is on its way, so neither the disk nor the hash is on the path of a chunk; a failed read is
  // reported where the piece is taken up, after the receipt, as before.
  std::optional<ReadPiece> next;
  while (offset < total) {
    if (isCancelled_) fail(RemoteFileSendError::Code::cancelled);
    if (!next) next = co_await runOn(fileIoExecutor(), readPiece(offset, total));
    ReadPiece current = std::move(*next);
    next.reset();
    if (const auto* error = std::get_if<RemoteFileSendError::Code>(&current)) fail(*error);
    Bytes piece = std::get<Bytes>(std::move(current));
    Bytes frame = encodeChunkFrame(transferID_, offset, piece);
    offeredEnd_ = offset + piece.size();
    co_await sendChunk(std::move(frame));
    offset += piece.size();
    sentOffset_ = offset;
    next = co_await runOn(fileIoExecutor(), hashAndReadNext(hash, std::move(piece), offset, total));
    co_await waitForAcknowledgement(offset);
  }
  if (!co_await runOn(fileIoExecutor(), sourceIsUnchanged())) fail(RemoteFileSendError::Code::sourceChanged);
  const auto digest = hash.finish();
  std::string sha256;
  for (const auto& byte : hexByteStrings(digest)) sha256 += byte;
  co_return RemoteFileSendCompletion{offset, std::move(sha256)};
}

asio::awaitable<void> RemoteFileSender::sendChunk(Bytes frame) {
  assertOnStrand(strand_);
  const auto deadline = timing_.clock->now() + timing_.sinkDeadline;
  while (true) {
    const bool accepted = co_await endpoint_->fileSink(frame);
    assertOnStrand(strand_);
    if (accepted) co_return;
    if (isCancelled_) fail(RemoteFileSendError::Code::cancelled);
    const auto now = timing_.clock->now();
    if (now >= deadline) fail(RemoteFileSendError::Code::channelUnavailable);
    co_await waitForWake(std::min(now + timing_.sinkRetryInterval, deadline));
    if (isCancelled_) fail(RemoteFileSendError::Code::cancelled);
  }
}

asio::awaitable<void> RemoteFileSender::waitForAcknowledgement(std::uint64_t target) {
  assertOnStrand(strand_);
  const auto deadline = timing_.clock->now() + timing_.receiptDeadline;
  while (true) {
    if (acknowledgedOffset_ >= target) co_return;
    if (isCancelled_) fail(RemoteFileSendError::Code::cancelled);
    if (timing_.clock->now() >= deadline) fail(RemoteFileSendError::Code::channelUnavailable);
    co_await waitForWake(deadline);
  }
}

asio::awaitable<RemoteFileSender::ReadPiece> RemoteFileSender::readPiece(std::uint64_t offset,
                                                                         std::uint64_t total) const {
  const auto wanted = static_cast<std::size_t>(std::min<std::uint64_t>(total - offset, maximumChunkPayloadSize));
  Bytes piece;
  try {
    piece = readAt(source_.file->get(), offset, wanted);
  } catch (const std::exception&) {
    co_return RemoteFileSendError::Code::readFailed;
  }
  if (piece.empty()) co_return RemoteFileSendError::Code::sourceChanged;  // shorter than when it was offered
  co_return piece;
}

asio::awaitable<std::optional<RemoteFileSender::ReadPiece>> RemoteFileSender::hashAndReadNext(
    platform::Sha256& hash, Bytes sent, std::uint64_t offset, std::uint64_t total) const {
  hash.update(sent);
  if (offset >= total) co_return std::nullopt;
  co_return co_await readPiece(offset, total);
}

asio::awaitable<void> RemoteFileSender::closeSource() {
  source_.file.reset();
  co_return;
}

asio::awaitable<bool> RemoteFileSender::sourceIsUnchanged() const {
  auto status = statPathNoFollow(source_.path.string());  // an unreadable path is reported as readFailed
  if (!status) fail(RemoteFileSendError::Code::readFailed);
  const auto now = fileIdentity(*status);
  const auto& then = source_.snapshot;
  if (now.size != then.size) co_return false;
  if (then.modificationDate && now.modificationDate != *then.modificationDate) co_return false;
  if (then.systemNumber && now.systemNumber != *then.systemNumber) co_return false;
  if (then.fileNumber && now.fileNumber != *then.fileNumber) co_return false;
  co_return true;
}

}  // namespace veltrano
