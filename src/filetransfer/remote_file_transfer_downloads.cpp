// Downloads: the open panel, the offer, the sender's run and its report.
#include "base/actor.hpp"
#include "base/task.hpp"
#include "core/localization.hpp"
#include "filetransfer/file_io_pool.hpp"
#include "filetransfer/file_transfer_errors.hpp"
#include "filetransfer/remote_file_transfer_coordinator.hpp"
#include "filetransfer/transfer_text_rules.hpp"

namespace veltrano {

namespace asio = boost::asio;

namespace {
asio::awaitable<std::optional<DownloadSource>> openOnFilePool(std::filesystem::path path) {
  co_return openDownloadSource(path);
}
}  // namespace

void RemoteFileTransferCoordinator::beginDownloadSelection(const std::string& sessionID,
                                                           const RemoteFileTransferEndpointPtr& endpoint) {
  if (isBusy()) {
    sendFileError(endpoint, file_error_code::busy, RemoteFileDirection::download, std::nullopt);
    return;
  }
  OpenPanelOptions options;
  options.prompt = localized("host.file.picker_action");
  options.message = localized("host.file.picker_message");

  std::weak_ptr<RemoteFileTransferCoordinator> weakSelf = weak_from_this();
  std::weak_ptr<RemoteFileTransferEndpoint> weakEndpoint = endpoint;
  auto weakPanel = std::make_shared<std::weak_ptr<FilePanel>>();
  panels_->activateApplication();
  auto panel = panels_->beginOpenPanel(options, [weakSelf, weakEndpoint, weakPanel, sessionID](FilePanelResult result) {
    auto self = weakSelf.lock();
    auto endpoint = weakEndpoint.lock();
    auto panel = weakPanel->lock();
    if (!self || !endpoint || !panel) return;
    self->selectionEnded(sessionID, panel, endpoint, result);
  });
  *weakPanel = panel;
  pendingSelections_[sessionID] = PendingSelection{panel, endpoint};
  endpoint->controlSink(file_messages::selecting());
  reportPickerDisplay(sessionID, panel, endpoint, RemoteFileDirection::download);
}

void RemoteFileTransferCoordinator::selectionEnded(const std::string& sessionID,
                                                   const std::shared_ptr<FilePanel>& panel,
                                                   const RemoteFileTransferEndpointPtr& endpoint,
                                                   const FilePanelResult& result) {
  auto it = pendingSelections_.find(sessionID);
  if (it == pendingSelections_.end() || it->second.panel != panel || it->second.endpoint != endpoint) return;
  if (!result.ok || !result.path) {
    pendingSelections_.erase(it);
    endpoint->controlSink(file_messages::selectionCancelled());
    return;
  }
  // The selection stays recorded (so the host stays busy) while the file is opened off the main thread.
  Task::spawn(mainExecutor(), [weakSelf = weak_from_this(), path = *result.path, sessionID, panel,
                               endpoint](TaskToken) -> asio::awaitable<void> {
    co_await offerDownload(weakSelf, path, sessionID, panel, endpoint);
  });
}

asio::awaitable<void> RemoteFileTransferCoordinator::offerDownload(std::weak_ptr<RemoteFileTransferCoordinator> weakSelf,
                                                                   std::filesystem::path path, std::string sessionID,
                                                                   std::shared_ptr<FilePanel> panel,
                                                                   RemoteFileTransferEndpointPtr endpoint) {
  auto source = co_await runOn(fileIoExecutor(), openOnFilePool(path));
  auto self = weakSelf.lock();
  if (!self) co_return;
  auto it = self->pendingSelections_.find(sessionID);
  if (it == self->pendingSelections_.end() || it->second.panel != panel || it->second.endpoint != endpoint) co_return;
  self->pendingSelections_.erase(it);
  if (!source) {
    sendFileError(endpoint, file_error_code::invalidSelection, RemoteFileDirection::download, std::nullopt);
    co_return;
  }

  const std::string transferID = makeTransferID();
  const std::string name = source->name;
  const std::uint64_t size = source->snapshot.size;
  std::weak_ptr<RemoteFileTransferEndpoint> weakEndpoint = endpoint;
  auto sender = RemoteFileSender::create(
      std::move(*source), transferID, endpoint,
      [weakSelf, weakEndpoint, sessionID, transferID](const RemoteFileSender::Result& result) {
        postToMain([weakSelf, weakEndpoint, sessionID, transferID, result] {
          auto self = weakSelf.lock();
          auto endpoint = weakEndpoint.lock();
          if (!self || !endpoint) return;
          self->finishDownload(sessionID, transferID, endpoint, result);
        });
      },
      self->senderTiming_);
  self->transfers_[sessionID] = TransferEntry{transferID, endpoint, std::move(sender)};
  endpoint->controlSink(file_messages::offer(transferID, name, size));
}

void RemoteFileTransferCoordinator::handleDownloadAccept(const std::string& transferID, const std::string& sessionID,
                                                         const RemoteFileTransferEndpointPtr& endpoint) {
  auto normalized = normalizedTransferID(transferID);
  auto it = transfers_.find(sessionID);
  if (!normalized || it == transfers_.end() || it->second.transferID != *normalized ||
      it->second.endpoint != endpoint) {
    sendFileError(endpoint, file_error_code::invalidTransfer, RemoteFileDirection::download, std::nullopt);
    return;
  }
  endpoint->controlSink(file_messages::transferring(*normalized));
  // A repeated accept starts nothing new: the sender runs once.
  Task::spawn(mainExecutor(), [sender = it->second.sender](TaskToken) -> asio::awaitable<void> {
    co_await sender->start();
  });
}

void RemoteFileTransferCoordinator::handleDownloadReceipt(const std::string& transferID, std::uint64_t offset,
                                                          const std::string& sessionID,
                                                          const RemoteFileTransferEndpointPtr& endpoint) {
  auto normalized = normalizedTransferID(transferID);
  auto it = transfers_.find(sessionID);
  if (!normalized || it == transfers_.end() || it->second.transferID != *normalized ||
      it->second.endpoint != endpoint) {
    return;
  }
  it->second.sender->acknowledge(offset);
}

void RemoteFileTransferCoordinator::finishDownload(const std::string& sessionID, const std::string& transferID,
                                                   const RemoteFileTransferEndpointPtr& endpoint,
                                                   const RemoteFileSender::Result& result) {
  auto it = transfers_.find(sessionID);
  if (it == transfers_.end() || it->second.transferID != transferID || it->second.endpoint != endpoint) return;
  transfers_.erase(it);
  if (const auto* done = std::get_if<RemoteFileSendCompletion>(&result)) {
    endpoint->controlSink(file_messages::downloadComplete(transferID, done->size, done->sha256));
  } else {
    const auto& error = std::get<RemoteFileSendError>(result);
    sendFileError(endpoint, wireCode(error.code()), RemoteFileDirection::download, transferID);
  }
}

}  // namespace veltrano
