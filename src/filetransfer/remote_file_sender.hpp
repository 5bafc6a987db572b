#pragma once
// Streams one downloaded file to one client: pieces of at most 49152 bytes, each framed and offered to the
// client's file sink, the next one sent only once the client has confirmed everything sent so far (it is read
// from the file meanwhile). At the end it checks that the file did not change and reports the byte count and
// SHA-256.
//
// An actor on the shared I/O threads, next to the channels it feeds: a receipt read there sends the next chunk
// without a hand-over to another thread. Its file reads, hashing and checks run on the file-I/O pool, which it
// awaits. start() runs on the actor; acknowledge() and cancel() may be called from any thread and take effect on
// the sender's executor, waking a wait at once. A receipt is taken as soon as the chunk it
// confirms is being offered, so a client that answers before the sink returns is not lost.
#include <boost/asio/awaitable.hpp>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <variant>

#include "base/clock.hpp"
#include "base/executors.hpp"
#include "base/task.hpp"
#include "filetransfer/download_source.hpp"
#include "filetransfer/file_transfer_errors.hpp"
#include "filetransfer/remote_file_transfer_endpoint.hpp"
#include "platform/crypto/sha256.hpp"

namespace veltrano {

struct RemoteFileSendCompletion {
  std::uint64_t size = 0;
  std::string sha256;  // 64 lowercase hex digits
  bool operator==(const RemoteFileSendCompletion&) const = default;
};

struct RemoteFileSenderTiming {
  Clock* clock = &bootClock();  // the waits run on while the computer sleeps
  Clock::Duration sinkDeadline = std::chrono::seconds(10);            // refusals of one frame before giving up
  Clock::Duration sinkRetryInterval = std::chrono::milliseconds(20);  // pause between offers of a refused frame
  Clock::Duration receiptDeadline = std::chrono::seconds(30);         // wait for the receipt of a sent chunk
};

class RemoteFileSender : public std::enable_shared_from_this<RemoteFileSender> {
 public:
  using Result = std::variant<RemoteFileSendCompletion, RemoteFileSendError>;
  // Called once per run, on the sender's executor.
  using Completion = std::function<void(const Result&)>;

  static std::shared_ptr<RemoteFileSender> create(DownloadSource source, std::string transferID,
                                                  RemoteFileTransferEndpointPtr endpoint, Completion completion,
                                                  RemoteFileSenderTiming timing = {});

  // Runs the transfer once and reports through the completion; a second start neither sends nor reports.
  boost::asio::awaitable<void> start();
  // A client receipt: everything up to `offset` has arrived. Ignored beyond the chunk being offered.
  void acknowledge(std::uint64_t offset);
  void cancel();

  const std::string& transferID() const { return transferID_; }
  const Strand& executor() const { return strand_; }

 private:
  RemoteFileSender(DownloadSource source, std::string transferID, RemoteFileTransferEndpointPtr endpoint,
                   Completion completion, RemoteFileSenderTiming timing);

  boost::asio::awaitable<void> run();
  boost::asio::awaitable<RemoteFileSendCompletion> sendFile();
  boost::asio::awaitable<void> sendChunk(Bytes frame);
  boost::asio::awaitable<void> waitForAcknowledgement(std::uint64_t target);
  // File work, run on the file threads while the sender waits for it. The piece at `offset`, or why it cannot be
  // sent; the hash of a sent piece followed by the next piece (none past the end).
  using ReadPiece = std::variant<Bytes, RemoteFileSendError::Code>;
  boost::asio::awaitable<ReadPiece> readPiece(std::uint64_t offset, std::uint64_t total) const;
  boost::asio::awaitable<std::optional<ReadPiece>> hashAndReadNext(platform::Sha256& hash, Bytes sent,
                                                                   std::uint64_t offset, std::uint64_t total) const;
  boost::asio::awaitable<bool> sourceIsUnchanged() const;
  boost::asio::awaitable<void> closeSource();
  // Waits until `deadline` or until a receipt or a cancel wakes the sender.
  boost::asio::awaitable<void> waitForWake(Clock::TimePoint deadline);
  void wake();
  // The deadlines of waits are kept by one watching task, not a timer per wait: a later deadline than the one it
  // sleeps towards is picked up when it wakes, only an earlier one replaces it.
  void watchDeadline(Clock::TimePoint deadline);
  boost::asio::awaitable<void> watchDeadlines(TaskToken token);
  void stopWatchingDeadlines();

  // On the strand.
  void applyAcknowledgement(std::uint64_t offset);
  void applyCancel();

  const Strand strand_;
  DownloadSource source_;
  const std::string transferID_;
  const RemoteFileTransferEndpointPtr endpoint_;
  Completion completion_;
  const RemoteFileSenderTiming timing_;

  // Strand state.
  bool started_ = false;
  bool isCancelled_ = false;
  std::uint64_t sentOffset_ = 0;
  std::uint64_t offeredEnd_ = 0;  // end of the chunk being offered or last offered
  std::uint64_t acknowledgedOffset_ = 0;
  std::optional<Continuation<>> waiter_;  // the wait in progress, resumed once by a wake or its deadline
  Clock::TimePoint waitDeadline_{};
  Task deadlineWatch_;  // empty when no task watches
  Clock::TimePoint watchTarget_{};
};

}  // namespace veltrano
