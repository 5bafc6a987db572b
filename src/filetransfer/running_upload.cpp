#include "filetransfer/running_upload.hpp"

#include "base/continuation.hpp"
#include "filetransfer/remote_file_messages.hpp"

namespace veltrano {

namespace asio = boost::asio;

std::shared_ptr<RunningUpload> RunningUpload::create(std::string transferID, RemoteFileTransferEndpointPtr endpoint,
                                                     std::shared_ptr<IncomingRemoteFileWriter> writer,
                                                     RefusalHandler onRefused) {
  return std::shared_ptr<RunningUpload>(
      new RunningUpload(std::move(transferID), std::move(endpoint), std::move(writer), std::move(onRefused)));
}

RunningUpload::RunningUpload(std::string transferID, RemoteFileTransferEndpointPtr endpoint,
                             std::shared_ptr<IncomingRemoteFileWriter> writer, RefusalHandler onRefused)
    : transferID(std::move(transferID)),
      endpoint(std::move(endpoint)),
      writer(std::move(writer)),
      onRefused_(std::move(onRefused)) {}

asio::awaitable<void> RunningUpload::receive(Bytes frame) {
  // The writer queues frames in the order they are handed in; the caller's next frame waits for this one.
  Continuation<> handled;
  writer->write(std::move(frame), [self = shared_from_this(), handled](std::optional<std::uint64_t> received) {
    self->written(received);
    handled.resume();
  });
  co_await handled.wait();
}

void RunningUpload::written(std::optional<std::uint64_t> received) {
  if (!received) {
    if (close()) onRefused_(shared_from_this());
    return;
  }
  // Sent under the lock, so a receipt never follows what the coordinator sends after closing the upload.
  std::lock_guard lock(mutex_);
  if (open_) endpoint->controlSink(file_messages::uploadReceived(transferID, *received));
}

bool RunningUpload::close() {
  std::lock_guard lock(mutex_);
  return std::exchange(open_, false);
}

}  // namespace veltrano
