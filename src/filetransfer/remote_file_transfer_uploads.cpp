// Uploads: the save panel, the writer's creation, the chunks, the completion and its report.
#include "base/actor.hpp"
#include "base/thread_checks.hpp"
#include "base/task.hpp"
#include "core/localization.hpp"
#include "filetransfer/file_transfer_errors.hpp"
#include "filetransfer/remote_file_transfer_coordinator.hpp"
#include "filetransfer/transfer_text_rules.hpp"

namespace veltrano {

namespace asio = boost::asio;

void RemoteFileTransferCoordinator::handleUploadOffer(const json::Json& message, const std::string& sessionID,
                                                      const RemoteFileTransferEndpointPtr& endpoint) {
  assertOnMainThread();
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
  setState(sessionID, DestinationPick{panel, endpoint, *offer});
  endpoint->controlSink(file_messages::selectingDestination(offer->transferID));
  reportPickerDisplay(sessionID, panel, endpoint, RemoteFileDirection::upload);
}

void RemoteFileTransferCoordinator::destinationEnded(const std::string& sessionID,
                                                     const std::shared_ptr<FilePanel>& panel,
                                                     const RemoteFileTransferEndpointPtr& endpoint,
                                                     const FilePanelResult& result) {
  if (!showsPanel(sessionID, panel, endpoint)) return;
  const auto offer = stateOf<DestinationPick>(sessionID)->offer;
  if (!result.ok || !result.path) {
    takeState(sessionID);
    endpoint->controlSink(file_messages::destinationCancelled(offer.transferID));
    return;
  }
  // The destination stays recorded (so the host stays busy) while the writer prepares it off the main thread.
  Task::spawn(mainExecutor(), [weakSelf = weak_from_this(), path = *result.path, sessionID, panel, endpoint,
                               offer](TaskToken) -> asio::awaitable<void> {
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
  if (!self || !self->showsPanel(sessionID, panel, endpoint)) {
    if (writer) discardWriter(std::move(writer));  // cancelled meanwhile
    co_return;
  }
  if (!writer) {
    self->takeState(sessionID);
    sendFileError(endpoint, failure, RemoteFileDirection::upload, offer.transferID);
    co_return;
  }
  // From here on the upload's frames go straight to its writer; only a refused one comes back here.
  auto upload = RunningUpload::create(
      offer.transferID, endpoint, std::move(writer), [weakSelf, sessionID](std::shared_ptr<RunningUpload> upload) {
        performOnMainRunLoop([weakSelf, sessionID, upload] {
          if (auto self = weakSelf.lock()) self->uploadRefusedFrame(sessionID, upload);
        });
      });
  self->setState(sessionID, upload);
  endpoint->controlSink(file_messages::uploadAccept(offer.transferID));
}

asio::awaitable<void> RemoteFileTransferCoordinator::handleIncomingChunk(Bytes frame, std::string sessionID) {
  if (auto upload = uploadFor(sessionID)) co_await upload->receive(std::move(frame));
}

void RemoteFileTransferCoordinator::uploadRefusedFrame(const std::string& sessionID, const Upload& upload) {
  if (!holdsUpload(sessionID, upload)) return;
  takeState(sessionID);
  upload->writer->requestAbort();
  Task::spawn(mainExecutor(), [upload](TaskToken) -> asio::awaitable<void> {
    co_await upload->writer->abort();
    sendFileError(upload->endpoint, file_error_code::invalidData, RemoteFileDirection::upload, upload->transferID);
  });
}

void RemoteFileTransferCoordinator::handleUploadCompletion(const json::Json& message, const std::string& sessionID,
                                                           const RemoteFileTransferEndpointPtr& endpoint) {
  assertOnMainThread();
  const auto rawTransferID = json::stringMember(message, "transferID");
  const auto invalid = [&] {
    sendFileError(endpoint, file_error_code::invalidCompletion, RemoteFileDirection::upload, rawTransferID);
  };
  auto normalized = rawTransferID ? normalizedTransferID(*rawTransferID) : std::nullopt;
  auto* upload = stateOf<Upload>(sessionID);
  if (!normalized || !upload || (*upload)->transferID != *normalized || (*upload)->endpoint != endpoint) {
    return invalid();
  }
  auto size = parseUInt64Member(message, "size");
  if (!size) return invalid();
  auto sha256Text = json::stringMember(message, "sha256");
  auto sha256 = sha256Text ? normalizedSHA256(*sha256Text) : std::nullopt;
  if (!sha256) return invalid();

  // A repeated completion changes nothing: the writer may be waiting for the chunks the first one announced.
  if ((*upload)->finishing) return;
  // The upload stays the session's state while the writer finishes, so the host stays busy.
  (*upload)->finishing.emplace(*size, *sha256);
  Task::spawn(mainExecutor(), [weakSelf = weak_from_this(), sessionID, upload = *upload, size = *size,
                               sha256 = *sha256](TaskToken) -> asio::awaitable<void> {
    co_await finishUpload(weakSelf, sessionID, upload, size, sha256);
  });
}

asio::awaitable<void> RemoteFileTransferCoordinator::finishUpload(std::weak_ptr<RemoteFileTransferCoordinator> weakSelf,
                                                                  std::string sessionID, Upload upload,
                                                                  std::uint64_t size, std::string sha256) {
  std::optional<std::string_view> failure;
  try {
    co_await upload->writer->finish(size, sha256);
  } catch (const IncomingRemoteFileError& error) {
    failure = wireCode(error.code());
  } catch (...) {
    failure = file_error_code::writeFailed;
  }
  auto self = weakSelf.lock();
  if (!self || !self->holdsUpload(sessionID, upload)) co_return;
  self->takeState(sessionID);
  upload->close();
  if (!failure) {
    upload->endpoint->controlSink(file_messages::uploadStored(upload->transferID, size, sha256));
    co_return;
  }
  upload->writer->requestAbort();
  co_await upload->writer->abort();
  sendFileError(upload->endpoint, *failure, RemoteFileDirection::upload, upload->transferID);
}

}  // namespace veltrano
