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
  Continuation<> handled;
  writer->write(std::move(frame), [self = shared_from_this(), handled](std::optional<std::uint64_t> received) {
    self->written(received);
    handled.resume();
  });
  std::optional<Continuation<>> awaited;
  {
    std::lock_guard lock(mutex_);
    unwritten_.push_back(handled);
    while (!unwritten_.empty() && unwritten_.front().isResumed()) unwritten_.pop_front();
    if (unwritten_.size() <= framesAhead) co_return;
    // Until half of them are written: the writer wakes the channel once for several frames, not for every one.
    awaited = unwritten_[unwritten_.size() - framesAhead / 2 - 1];
    channelSendsReceipts_ = true;
  }
  co_await awaited->wait();
  std::lock_guard lock(mutex_);
  channelSendsReceipts_ = false;
  sendReceipts();
}

void RunningUpload::written(std::optional<std::uint64_t> received) {
  {
    std::lock_guard lock(mutex_);
    if (received) unsentReceipts_.push_back(*received);
    // Receipts of earlier frames leave before a refusal closes the upload; one that nobody waits for leaves now.
    if (!received || !channelSendsReceipts_) sendReceipts();
  }
  if (!received && close()) onRefused_(shared_from_this());
}

void RunningUpload::sendReceipts() {
  // Sent under the lock, so receipts keep their order and none follows what the coordinator sends after closing.
  if (open_) {
    for (const auto received : unsentReceipts_) {
      endpoint->controlSink(file_messages::uploadReceived(transferID, received));
    }
  }
  unsentReceipts_.clear();
}

bool RunningUpload::close() {
  std::lock_guard lock(mutex_);
  return std::exchange(open_, false);
}

}  // namespace veltrano
