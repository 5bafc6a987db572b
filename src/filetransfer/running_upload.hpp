#pragma once
// One upload whose destination is chosen, as its chunk frames see it: the writer that stores them and the client
// that gets a receipt for each. Frames reach the writer straight from the channel, so the main thread is not on a
// frame's way; the coordinator only installs the upload, finishes it and ends it.
//
// The channel reads on while the writer writes: a frame handed in returns at once while at most `framesAhead`
// frames wait for the writer, and otherwise once only half as many do. So the writer finds the next frames queued
// instead of waiting for the channel, wakes the channel once for several frames, and the channel still waits for
// the writer. The receipts leave in order; while the channel waits for a frame to be written, it
// sends the receipts the writer left it on its way back, so the writer's thread only writes and hashes.
#include <boost/asio/awaitable.hpp>

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "base/continuation.hpp"
#include "base/encoding.hpp"
#include "filetransfer/incoming_remote_file_writer.hpp"
#include "filetransfer/remote_file_transfer_endpoint.hpp"

namespace veltrano {

class RunningUpload : public std::enable_shared_from_this<RunningUpload> {
 public:
  // Runs on the writer's executor after the writer refused a frame; the upload is closed by then.
  using RefusalHandler = std::function<void(std::shared_ptr<RunningUpload> upload)>;

  // Frames that may wait for the writer when a frame handed in returns (a few times 48 KiB).
  static constexpr std::size_t framesAhead = 8;

  static std::shared_ptr<RunningUpload> create(std::string transferID, RemoteFileTransferEndpointPtr endpoint,
                                               std::shared_ptr<IncomingRemoteFileWriter> writer,
                                               RefusalHandler onRefused);

  // Any executor. Hands one frame to the writer and returns once at most `framesAhead` frames wait to be written
  // or refused (half as many, if it had to wait); frames are written in the order they are handed in. While the upload is open every
  // written frame is confirmed to the client; the first refused frame closes it and is reported.
  boost::asio::awaitable<void> receive(Bytes frame);
  // Any thread. No receipt leaves once this returns; false when the upload was closed already.
  bool close();

  const std::string transferID;
  const RemoteFileTransferEndpointPtr endpoint;
  const std::shared_ptr<IncomingRemoteFileWriter> writer;
  // Main thread: the client's confirmed size and checksum, once the writer verifies and stores the upload.
  std::optional<std::pair<std::uint64_t, std::string>> finishing;

 private:
  RunningUpload(std::string transferID, RemoteFileTransferEndpointPtr endpoint,
                std::shared_ptr<IncomingRemoteFileWriter> writer, RefusalHandler onRefused);
  void written(std::optional<std::uint64_t> received);
  // Under mutex_: sends the receipts not yet sent, in order, while the upload is open.
  void sendReceipts();

  const RefusalHandler onRefused_;
  std::mutex mutex_;
  bool open_ = true;
  std::deque<Continuation<>> unwritten_;  // the frames handed in that may still wait for the writer, oldest first
  std::vector<std::uint64_t> unsentReceipts_;  // bytes stored after each written frame, oldest first
  bool channelSendsReceipts_ = false;          // the channel waits for a frame and sends the receipts afterwards
};

}  // namespace veltrano
