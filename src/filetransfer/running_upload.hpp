#pragma once
// One upload whose destination is chosen, as its chunk frames see it: the writer that stores them and the client
// that gets a receipt for each. Frames reach the writer and receipts leave from the writer's executor, so the
// main thread is not on a frame's way; the coordinator only installs the upload, finishes it and ends it.
#include <boost/asio/awaitable.hpp>

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>

#include "base/encoding.hpp"
#include "filetransfer/incoming_remote_file_writer.hpp"
#include "filetransfer/remote_file_transfer_endpoint.hpp"

namespace veltrano {

class RunningUpload : public std::enable_shared_from_this<RunningUpload> {
 public:
  // Runs on the writer's executor after the writer refused a frame; the upload is closed by then.
  using RefusalHandler = std::function<void(std::shared_ptr<RunningUpload> upload)>;

  static std::shared_ptr<RunningUpload> create(std::string transferID, RemoteFileTransferEndpointPtr endpoint,
                                               std::shared_ptr<IncomingRemoteFileWriter> writer,
                                               RefusalHandler onRefused);

  // Any executor. Hands one frame to the writer and returns once it is written or refused; frames handed in one
  // after another are written in that order. While the upload is open a written frame is confirmed to the client;
  // the first refused frame closes it and is reported.
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

  const RefusalHandler onRefused_;
  std::mutex mutex_;
  bool open_ = true;
};

}  // namespace veltrano
