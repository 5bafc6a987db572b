// Uploads: the save panel, the writer's creation, the chunks, the completion and its report.
#include <boost/asio/dispatch.hpp>

#include "base/actor.hpp"
#include "base/task.hpp"
#include "core/localization.hpp"
#include "filetransfer/file_transfer_errors.hpp"
#include "filetransfer/remote_file_transfer_coordinator.hpp"
#include "filetransfer/transfer_text_rules.hpp"

namespace veltrano {

namespace asio = boost::asio;

void RemoteFileTransferCoordinator::handleUploadOffer(const json::Json& message, const std::string& sessionID,
                                                      const RemoteFileTransferEndpointPtr& endpoint) {
  auto offer = decodeOffer(message);
  if (!offer) {
    sendFileError(endpoint, file_error_code::invalidOffer, RemoteFileDirection::upload, std::nullopt);
    return;
  }
  if (isBusy()) {
    sendFileError(endpoint, file_error_code::busy, RemoteFileDirection::upload, offer->transferID);
    return;
  }
  SavePanelOptions options;
  options.prompt = localized("host.file.upload_picker_action");
  options.message = localized("host.file.upload_picker_message");
  options.nameFieldValue = offer->fileName;
  options.canCreateDirectories = true;

  std::weak_ptr<RemoteFileTransferCoordinator> weakSelf = weak_from_this();
  std::weak_ptr<RemoteFileTransferEndpoint> weakEndpoint = endpoint;
  auto weakPanel = std::make_shared<std::weak_ptr<FilePanel>>();
  panels_->activateApplication();
  auto panel = panels_->beginSavePanel(options, [weakSelf, weakEndpoint, weakPanel, sessionID](FilePanelResult result) {
    auto self = weakSelf.lock();
    auto endpoint = weakEndpoint.lock();
    auto panel = weakPanel->lock();
    if (!self || !endpoint || !panel) return;
    self->destinationEnded(sessionID, panel, endpoint, result);
  });
  *weakPanel = panel;
  pendingUploadDestinations_[sessionID] = PendingUploadDestination{panel, endpoint, *offer};
  endpoint->controlSink(file_messages::selectingDestination(offer->transferID));
  reportPickerDisplay(sessionID, panel, endpoint, RemoteFileDirection::upload);
}

void RemoteFileTransferCoordinator::destinationEnded(const std::string& sessionID,
                                                     const std::shared_ptr<FilePanel>& panel,
                                                     const RemoteFileTransferEndpointPtr& endpoint,
                                                     const FilePanelResult& result) {
  auto it = pendingUploadDestinations_.find(sessionID);
  if (it == pendingUploadDestinations_.end() || it->second.panel != panel || it->second.endpoint != endpoint) return;
  if (!result.ok || !result.path) {
    const auto transferID = it->second.offer.transferID;
    pendingUploadDestinations_.erase(it);
    endpoint->controlSink(file_messages::destinationCancelled(transferID));
    return;
  }
  // The destination stays recorded (so the host stays busy) while the writer prepares it off the main thread.
  Task::spawn(mainExecutor(), [weakSelf = weak_from_this(), path = *result.path, sessionID, panel, endpoint,
                               offer = it->second.offer](TaskToken) -> asio::awaitable<void> {
    co_await acceptUploadDestination(weakSelf, path, sessionID, panel, endpoint, offer);
  });
}

asio::awaitable<void> RemoteFileTransferCoordinator::acceptUploadDestination(
    std::weak_ptr<RemoteFileTransferCoordinator> weakSelf, std::filesystem::path path, std::string sessionID,
    std::shared_ptr<FilePanel> panel, RemoteFileTransferEndpointPtr endpoint, RemoteFileOffer offer) {
  std::shared_ptr<IncomingRemoteFileWriter> writer;
  std::string_view failure;
  try {
    writer = co_await IncomingRemoteFileWriter::create(offer, path);
  } catch (const IncomingRemoteFileError& error) {
    failure = wireCode(error.code());
  } catch (...) {
    failure = file_error_code::invalidDestination;
  }
  auto self = weakSelf.lock();
  const auto stillChosen = [&] {
    if (!self) return false;
    auto it = self->pendingUploadDestinations_.find(sessionID);
    return it != self->pendingUploadDestinations_.end() && it->second.panel == panel && it->second.endpoint == endpoint;
  };
  if (!stillChosen()) {
    if (writer) discardWriter(std::move(writer));  // cancelled meanwhile
    co_return;
  }
  self->pendingUploadDestinations_.erase(sessionID);
  if (!writer) {
    sendFileError(endpoint, failure, RemoteFileDirection::upload, offer.transferID);
    co_return;
  }
  self->incomingTransfers_[sessionID] = IncomingTransferEntry{offer.transferID, endpoint, std::move(writer), {}};
  endpoint->controlSink(file_messages::uploadAccept(offer.transferID));
}

asio::awaitable<void> RemoteFileTransferCoordinator::handleIncomingChunk(Bytes frame, std::string sessionID) {
  // The caller's next frame waits until this one is written, but not for the main thread's report of the write:
  // the writer hands back straight from its own executor, once that report is queued on the main thread ahead of
  // the next frame. Frames keep their order, as the main thread passes them to the writer's executor in turn (at
  // once when handed in on the main thread).
  Continuation<> handedOn;
  asio::dispatch(mainExecutor(), [weakSelf = weak_from_this(), frame = std::move(frame),
                                  sessionID = std::move(sessionID), handedOn]() mutable {
    acceptChunk(weakSelf, std::move(frame), sessionID, handedOn);
  });
  co_await handedOn.wait();
}

void RemoteFileTransferCoordinator::acceptChunk(const std::weak_ptr<RemoteFileTransferCoordinator>& weakSelf,
                                                Bytes frame, const std::string& sessionID, Continuation<> handedOn) {
  auto self = weakSelf.lock();
  const auto it = self ? self->incomingTransfers_.find(sessionID) : decltype(self->incomingTransfers_)::iterator{};
  if (!self || it == self->incomingTransfers_.end()) {
    handedOn.resume();  // no upload: the frame is dropped
    return;
  }
  auto writer = it->second.writer;
  writer->write(std::move(frame), [weakSelf, sessionID, writer, endpoint = it->second.endpoint,
                                   handedOn](std::optional<std::uint64_t> received) {
    postToMain([weakSelf, sessionID, writer, endpoint, received] {
      if (auto self = weakSelf.lock()) self->chunkWritten(sessionID, writer, endpoint, received);
    });
    handedOn.resume();
  });
}

void RemoteFileTransferCoordinator::chunkWritten(const std::string& sessionID,
                                                 const std::shared_ptr<IncomingRemoteFileWriter>& writer,
                                                 const RemoteFileTransferEndpointPtr& endpoint,
                                                 std::optional<std::uint64_t> received) {
  auto it = incomingTransfers_.find(sessionID);
  if (it == incomingTransfers_.end() || it->second.writer != writer) return;
  if (received) {
    if (it->second.endpoint == endpoint) {
      endpoint->controlSink(file_messages::uploadReceived(it->second.transferID, *received));
    }
    return;
  }
  auto record = std::move(it->second);
  incomingTransfers_.erase(it);
  writer->requestAbort();
  Task::spawn(mainExecutor(), [writer, record = std::move(record)](TaskToken) -> asio::awaitable<void> {
    co_await writer->abort();
    sendFileError(record.endpoint, file_error_code::invalidData, RemoteFileDirection::upload, record.transferID);
  });
}

void RemoteFileTransferCoordinator::handleUploadCompletion(const json::Json& message, const std::string& sessionID,
                                                           const RemoteFileTransferEndpointPtr& endpoint) {
  const auto rawTransferID = json::stringMember(message, "transferID");
  const auto invalid = [&] {
    sendFileError(endpoint, file_error_code::invalidCompletion, RemoteFileDirection::upload, rawTransferID);
  };
  auto normalized = rawTransferID ? normalizedTransferID(*rawTransferID) : std::nullopt;
  auto it = incomingTransfers_.find(sessionID);
  if (!normalized || it == incomingTransfers_.end() || it->second.transferID != *normalized ||
      it->second.endpoint != endpoint) {
    return invalid();
  }
  auto size = parseUInt64Member(message, "size");
  if (!size) return invalid();
  auto sha256Text = json::stringMember(message, "sha256");
  auto sha256 = sha256Text ? normalizedSHA256(*sha256Text) : std::nullopt;
  if (!sha256) return invalid();

  // The entry stays while the writer finishes, so the host stays busy.
  it->second.finishing.emplace(*size, *sha256);
  Task::spawn(mainExecutor(), [weakSelf = weak_from_this(), sessionID, writer = it->second.writer,
                               weakEndpoint = std::weak_ptr<RemoteFileTransferEndpoint>(endpoint), size = *size,
                               sha256 = *sha256](TaskToken) -> asio::awaitable<void> {
    co_await finishUpload(weakSelf, sessionID, writer, weakEndpoint, size, sha256);
  });
}

asio::awaitable<void> RemoteFileTransferCoordinator::finishUpload(std::weak_ptr<RemoteFileTransferCoordinator> weakSelf,
                                                                  std::string sessionID,
                                                                  std::shared_ptr<IncomingRemoteFileWriter> writer,
                                                                  std::weak_ptr<RemoteFileTransferEndpoint> weakEndpoint,
                                                                  std::uint64_t size, std::string sha256) {
  std::optional<std::string_view> failure;
  try {
    co_await writer->finish(size, sha256);
  } catch (const IncomingRemoteFileError& error) {
    failure = wireCode(error.code());
  } catch (...) {
    failure = file_error_code::writeFailed;
  }
  auto self = weakSelf.lock();
  auto endpoint = weakEndpoint.lock();
  if (!self || !endpoint) co_return;
  auto it = self->incomingTransfers_.find(sessionID);
  if (it == self->incomingTransfers_.end() || it->second.writer != writer) co_return;
  if (!failure) {
    if (it->second.endpoint != endpoint) co_return;
    const auto transferID = it->second.transferID;
    self->incomingTransfers_.erase(it);
    endpoint->controlSink(file_messages::uploadStored(transferID, size, sha256));
    co_return;
  }
  const auto transferID = it->second.transferID;
  self->incomingTransfers_.erase(it);
  writer->requestAbort();
  co_await writer->abort();
  sendFileError(endpoint, *failure, RemoteFileDirection::upload, transferID);
}

}  // namespace veltrano
