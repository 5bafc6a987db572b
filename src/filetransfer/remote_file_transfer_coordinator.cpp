#include "filetransfer/remote_file_transfer_coordinator.hpp"

#include "base/task.hpp"
#include "core/main_run_loop.hpp"
#include "filetransfer/file_io_pool.hpp"
#include "filetransfer/file_transfer_localized_strings.hpp"
#include "filetransfer/transfer_text_rules.hpp"

namespace veltrano {

namespace asio = boost::asio;

std::shared_ptr<RemoteFileTransferCoordinator> RemoteFileTransferCoordinator::create(
    std::shared_ptr<FilePanelPresenter> panels, RemoteFileSenderTiming senderTiming) {
  registerFileTransferLocalizedStrings();
  return std::shared_ptr<RemoteFileTransferCoordinator>(
      new RemoteFileTransferCoordinator(std::move(panels), senderTiming));
}

RemoteFileTransferCoordinator::RemoteFileTransferCoordinator(std::shared_ptr<FilePanelPresenter> panels,
                                                             RemoteFileSenderTiming senderTiming)
    : panels_(std::move(panels)), senderTiming_(senderTiming) {}

bool RemoteFileTransferCoordinator::isBusy() const {
  return !pendingSelections_.empty() || !transfers_.empty() || !pendingUploadDestinations_.empty() ||
         !incomingTransfers_.empty();
}

void RemoteFileTransferCoordinator::sendFileError(const RemoteFileTransferEndpointPtr& endpoint, std::string_view code,
                                                  RemoteFileDirection direction,
                                                  const std::optional<std::string>& transferID) {
  endpoint->controlSink(file_messages::error(code, direction, transferID));
}

void RemoteFileTransferCoordinator::reportPickerDisplay(const std::string& sessionID,
                                                        const std::shared_ptr<FilePanel>& panel,
                                                        const RemoteFileTransferEndpointPtr& endpoint,
                                                        RemoteFileDirection direction) {
  std::weak_ptr<RemoteFileTransferCoordinator> weakSelf = weak_from_this();
  std::weak_ptr<FilePanel> weakPanel = panel;
  std::weak_ptr<RemoteFileTransferEndpoint> weakEndpoint = endpoint;
  performOnMainRunLoop([weakSelf, weakPanel, weakEndpoint, sessionID, direction] {
    auto self = weakSelf.lock();
    auto panel = weakPanel.lock();
    auto endpoint = weakEndpoint.lock();
    if (!self || !panel || !endpoint) return;
    bool stillShown = false;
    if (direction == RemoteFileDirection::download) {
      auto it = self->pendingSelections_.find(sessionID);
      stillShown = it != self->pendingSelections_.end() && it->second.panel == panel && it->second.endpoint == endpoint;
    } else {
      auto it = self->pendingUploadDestinations_.find(sessionID);
      stillShown = it != self->pendingUploadDestinations_.end() && it->second.panel == panel &&
                   it->second.endpoint == endpoint;
    }
    if (!stillShown) return;
    if (auto displayID = panel->displayID()) endpoint->controlSink(file_messages::pickerDisplay(*displayID, direction));
  });
}

void RemoteFileTransferCoordinator::discardWriter(std::shared_ptr<IncomingRemoteFileWriter> writer) {
  writer->requestAbort();  // at once: a finish still running must not move the file into place
  Task::spawn(fileIoExecutor(), [writer](TaskToken) -> asio::awaitable<void> { co_await writer->abort(); });
}

void RemoteFileTransferCoordinator::handleTransferCancel(const std::optional<std::string>& transferID,
                                                         const std::string& sessionID, bool isUpload,
                                                         const RemoteFileTransferEndpointPtr& endpoint) {
  const std::optional<std::string> normalized = transferID ? normalizedTransferID(*transferID) : std::nullopt;
  // A given identifier must name the record; an absent one matches any.
  const auto matches = [&](const std::string& recordID) { return !transferID || normalized == recordID; };

  if (!isUpload) {
    if (auto it = pendingSelections_.find(sessionID); it != pendingSelections_.end() && it->second.endpoint == endpoint) {
      auto panel = it->second.panel;
      pendingSelections_.erase(it);
      panel->cancel();
    }
    if (auto it = transfers_.find(sessionID); it != transfers_.end() && it->second.endpoint == endpoint) {
      if (!matches(it->second.transferID)) return;
      auto sender = it->second.sender;
      transfers_.erase(it);
      sender->cancel();
    }
    return;
  }

  if (auto it = pendingUploadDestinations_.find(sessionID);
      it != pendingUploadDestinations_.end() && it->second.endpoint == endpoint) {
    if (!matches(it->second.offer.transferID)) return;
    auto panel = it->second.panel;
    pendingUploadDestinations_.erase(it);
    panel->cancel();
  }
  if (auto it = incomingTransfers_.find(sessionID); it != incomingTransfers_.end() && it->second.endpoint == endpoint) {
    if (!matches(it->second.transferID)) return;
    auto writer = it->second.writer;
    incomingTransfers_.erase(it);
    discardWriter(std::move(writer));
  }
}

void RemoteFileTransferCoordinator::failTransfers(const std::string& sessionID, std::string_view code) {
  if (auto it = pendingSelections_.find(sessionID); it != pendingSelections_.end()) {
    auto record = std::move(it->second);
    pendingSelections_.erase(it);
    record.panel->cancel();
    sendFileError(record.endpoint, code, RemoteFileDirection::download, std::nullopt);
  }
  if (auto it = transfers_.find(sessionID); it != transfers_.end()) {
    auto record = std::move(it->second);
    transfers_.erase(it);
    sendFileError(record.endpoint, code, RemoteFileDirection::download, record.transferID);
    record.sender->cancel();
  }
  if (auto it = pendingUploadDestinations_.find(sessionID); it != pendingUploadDestinations_.end()) {
    auto record = std::move(it->second);
    pendingUploadDestinations_.erase(it);
    record.panel->cancel();
    sendFileError(record.endpoint, code, RemoteFileDirection::upload, record.offer.transferID);
  }
  if (auto it = incomingTransfers_.find(sessionID); it != incomingTransfers_.end()) {
    auto record = std::move(it->second);
    incomingTransfers_.erase(it);
    if (record.writer->requestAbort()) {
      sendFileError(record.endpoint, code, RemoteFileDirection::upload, record.transferID);
      discardWriter(record.writer);
    } else if (record.finishing) {
      // The finish had already moved the file into place: that is the outcome, not a failure.
      record.endpoint->controlSink(
          file_messages::uploadStored(record.transferID, record.finishing->first, record.finishing->second));
    }
  }
}

void RemoteFileTransferCoordinator::cancelTransfers(const std::string& sessionID) {
  if (auto it = pendingSelections_.find(sessionID); it != pendingSelections_.end()) {
    auto panel = it->second.panel;
    pendingSelections_.erase(it);
    panel->cancel();
  }
  if (auto it = transfers_.find(sessionID); it != transfers_.end()) {
    auto sender = it->second.sender;
    transfers_.erase(it);
    sender->cancel();
  }
  if (auto it = pendingUploadDestinations_.find(sessionID); it != pendingUploadDestinations_.end()) {
    auto panel = it->second.panel;
    pendingUploadDestinations_.erase(it);
    panel->cancel();
  }
  if (auto it = incomingTransfers_.find(sessionID); it != incomingTransfers_.end()) {
    auto writer = it->second.writer;
    incomingTransfers_.erase(it);
    discardWriter(std::move(writer));
  }
}

void RemoteFileTransferCoordinator::cancelAllTransfers() {
  auto selections = std::move(pendingSelections_);
  pendingSelections_.clear();
  for (auto& [sessionID, record] : selections) record.panel->cancel();
  auto senders = std::move(transfers_);
  transfers_.clear();
  for (auto& [sessionID, record] : senders) record.sender->cancel();
  auto destinations = std::move(pendingUploadDestinations_);
  pendingUploadDestinations_.clear();
  for (auto& [sessionID, record] : destinations) record.panel->cancel();
  auto writers = std::move(incomingTransfers_);
  incomingTransfers_.clear();
  for (auto& [sessionID, record] : writers) discardWriter(record.writer);
}

}  // namespace veltrano
