// Downloads: the open panel, the offer, the sender's run and its report.
#include "base/actor.hpp"
#include "base/thread_checks.hpp"
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
  assertOnMainThread();
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
  setState(sessionID, FilePick{panel, endpoint});
  endpoint->controlSink(file_messages::selecting());
  reportPickerDisplay(sessionID, panel, endpoint, RemoteFileDirection::download);
}

void RemoteFileTransferCoordinator::selectionEnded(const std::string& sessionID,
                                                   const std::shared_ptr<FilePanel>& panel,
                                                   const RemoteFileTransferEndpointPtr& endpoint,
                                                   const FilePanelResult& result) {
  if (!showsPanel(sessionID, panel, endpoint)) return;
  if (!result.ok || !result.path) {
    takeState(sessionID);
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
  if (!self || !self->showsPanel(sessionID, panel, endpoint)) co_return;
  self->takeState(sessionID);
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
        performOnMainRunLoop([weakSelf, weakEndpoint, sessionID, transferID, result] {
          auto self = weakSelf.lock();
          auto endpoint = weakEndpoint.lock();
          if (!self || !endpoint) return;
          self->finishDownload(sessionID, transferID, endpoint, result);
        });
      },
      self->senderTiming_);
  self->setState(sessionID, Download{transferID, endpoint, std::move(sender)});
  endpoint->controlSink(file_messages::offer(transferID, name, size));
}

const RemoteFileTransferCoordinator::Download* RemoteFileTransferCoordinator::offeredTo(
    const std::string& sessionID, const std::string& transferID, const RemoteFileTransferEndpointPtr& endpoint) {
  const auto* download = stateOf<Download>(sessionID);
  const auto normalized = normalizedTransferID(transferID);
  if (!download || !normalized || download->transferID != *normalized || download->endpoint != endpoint) return nullptr;
  return download;
}

void RemoteFileTransferCoordinator::handleDownloadAccept(const std::string& transferID, const std::string& sessionID,
                                                         const RemoteFileTransferEndpointPtr& endpoint) {
  assertOnMainThread();
  const auto* download = offeredTo(sessionID, transferID, endpoint);
  if (!download) {
    sendFileError(endpoint, file_error_code::invalidTransfer, RemoteFileDirection::download, std::nullopt);
    return;
  }
  endpoint->controlSink(file_messages::transferring(download->transferID));
  // A repeated accept starts nothing new: the sender runs once.
  Task::spawn(mainExecutor(), [sender = download->sender](TaskToken) -> asio::awaitable<void> {
    co_await sender->start();
  });
}

void RemoteFileTransferCoordinator::handleDownloadReceipt(const std::string& transferID, std::uint64_t offset,
                                                          const std::string& sessionID,
                                                          const RemoteFileTransferEndpointPtr& endpoint) {
  if (auto sender = senderFor(sessionID, transferID, endpoint)) sender->acknowledge(offset);
}

void RemoteFileTransferCoordinator::finishDownload(const std::string& sessionID, const std::string& transferID,
                                                   const RemoteFileTransferEndpointPtr& endpoint,
                                                   const RemoteFileSender::Result& result) {
  if (!offeredTo(sessionID, transferID, endpoint)) return;
  takeState(sessionID);
  if (const auto* done = std::get_if<RemoteFileSendCompletion>(&result)) {
    endpoint->controlSink(file_messages::downloadComplete(transferID, done->size, done->sha256));
  } else {
    const auto& error = std::get<RemoteFileSendError>(result);
    sendFileError(endpoint, wireCode(error.code()), RemoteFileDirection::download, transferID);
  }
}

}  // namespace veltrano
