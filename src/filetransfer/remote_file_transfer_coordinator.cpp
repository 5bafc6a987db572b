#include "filetransfer/remote_file_transfer_coordinator.hpp"
#include "base/thread_checks.hpp"

#include "base/executors.hpp"
#include "base/task.hpp"
#include "filetransfer/file_io_pool.hpp"
#include "filetransfer/file_transfer_localized_strings.hpp"
#include "filetransfer/transfer_text_rules.hpp"

namespace veltrano {

namespace asio = boost::asio;

namespace {
template <class... Visitors>
struct Overloaded : Visitors... {
  using Visitors::operator()...;
};
template <class... Visitors>
Overloaded(Visitors...) -> Overloaded<Visitors...>;
}  // namespace

std::shared_ptr<RemoteFileTransferCoordinator> RemoteFileTransferCoordinator::create(
    std::shared_ptr<FilePanelPresenter> panels, RemoteFileSenderTiming senderTiming) {
  registerFileTransferLocalizedStrings();
  return std::shared_ptr<RemoteFileTransferCoordinator>(
      new RemoteFileTransferCoordinator(std::move(panels), senderTiming));
}

RemoteFileTransferCoordinator::RemoteFileTransferCoordinator(std::shared_ptr<FilePanelPresenter> panels,
                                                             RemoteFileSenderTiming senderTiming)
    : panels_(std::move(panels)), senderTiming_(senderTiming) {}

// --- Session states ---

bool RemoteFileTransferCoordinator::isBusy() const { return !sessions_.empty(); }

bool RemoteFileTransferCoordinator::showsPanel(const std::string& sessionID, const std::shared_ptr<FilePanel>& panel,
                                               const RemoteFileTransferEndpointPtr& endpoint) {
  if (const auto* pick = stateOf<FilePick>(sessionID)) return pick->panel == panel && pick->endpoint == endpoint;
  if (const auto* pick = stateOf<DestinationPick>(sessionID)) return pick->panel == panel && pick->endpoint == endpoint;
  return false;
}

bool RemoteFileTransferCoordinator::holdsUpload(const std::string& sessionID, const Upload& upload) {
  const auto* held = stateOf<Upload>(sessionID);
  return held && *held == upload;
}

void RemoteFileTransferCoordinator::setState(const std::string& sessionID, SessionState state) {
  std::lock_guard lock(sessionsMutex_);
  sessions_.insert_or_assign(sessionID, std::move(state));
}

std::optional<RemoteFileTransferCoordinator::SessionState> RemoteFileTransferCoordinator::takeState(
    const std::string& sessionID) {
  std::lock_guard lock(sessionsMutex_);
  auto it = sessions_.find(sessionID);
  if (it == sessions_.end()) return std::nullopt;
  auto state = std::move(it->second);
  sessions_.erase(it);
  return state;
}

std::shared_ptr<RemoteFileSender> RemoteFileTransferCoordinator::senderFor(
    const std::string& sessionID, const std::string& transferID, const RemoteFileTransferEndpointPtr& endpoint) const {
  const auto normalized = normalizedTransferID(transferID);
  if (!normalized) return nullptr;
  std::lock_guard lock(sessionsMutex_);
  auto it = sessions_.find(sessionID);
  if (it == sessions_.end()) return nullptr;
  const auto* download = std::get_if<Download>(&it->second);
  if (!download || download->transferID != *normalized || download->endpoint != endpoint) return nullptr;
  return download->sender;
}

RemoteFileTransferCoordinator::Upload RemoteFileTransferCoordinator::uploadFor(const std::string& sessionID) const {
  std::lock_guard lock(sessionsMutex_);
  auto it = sessions_.find(sessionID);
  if (it == sessions_.end()) return nullptr;
  const auto* upload = std::get_if<Upload>(&it->second);
  return upload ? *upload : nullptr;
}

void RemoteFileTransferCoordinator::endWork(SessionState state, std::optional<std::string_view> code) {
  std::visit(Overloaded{
                 [&](FilePick& pick) {
                   pick.panel->cancel();
                   if (code) sendFileError(pick.endpoint, *code, RemoteFileDirection::download, std::nullopt);
                 },
                 [&](Download& download) {
                   if (code) sendFileError(download.endpoint, *code, RemoteFileDirection::download, download.transferID);
                   download.sender->cancel();
                 },
                 [&](DestinationPick& pick) {
                   pick.panel->cancel();
                   if (code) sendFileError(pick.endpoint, *code, RemoteFileDirection::upload, pick.offer.transferID);
                 },
                 [&](Upload& upload) {
                   upload->close();
                   if (upload->writer->requestAbort()) {
                     if (code) sendFileError(upload->endpoint, *code, RemoteFileDirection::upload, upload->transferID);
                     discardWriter(upload->writer);
                   } else if (code && upload->finishing) {
                     // The finish had already moved the file into place: that is the outcome, not a failure.
                     upload->endpoint->controlSink(file_messages::uploadStored(
                         upload->transferID, upload->finishing->first, upload->finishing->second));
                   }
                 },
             },
             state);
}

// --- Shared steps ---

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
  panel->reportDisplay([weakSelf, weakPanel, weakEndpoint, sessionID, direction](std::uint32_t displayID) {
    auto self = weakSelf.lock();
    auto panel = weakPanel.lock();
    auto endpoint = weakEndpoint.lock();
    if (!self || !panel || !endpoint || !self->showsPanel(sessionID, panel, endpoint)) return;
    endpoint->controlSink(file_messages::pickerDisplay(displayID, direction));
  });
}

void RemoteFileTransferCoordinator::discardWriter(std::shared_ptr<IncomingRemoteFileWriter> writer) {
  writer->requestAbort();  // at once: a finish still running must not move the file into place
  Task::spawn(fileIoExecutor(), [writer](TaskToken) -> asio::awaitable<void> { co_await writer->abort(); });
}

// --- Ending work ---

void RemoteFileTransferCoordinator::handleTransferCancel(const std::optional<std::string>& transferID,
                                                         const std::string& sessionID, bool isUpload,
                                                         const RemoteFileTransferEndpointPtr& endpoint) {
  assertOnMainThread();
  auto it = sessions_.find(sessionID);
  if (it == sessions_.end()) return;
  const std::optional<std::string> normalized = transferID ? normalizedTransferID(*transferID) : std::nullopt;
  // A given identifier must name the work; an absent one matches any. A file pick has none to check.
  const auto matches = [&](const RemoteFileTransferEndpointPtr& owner, bool upload, const std::string* workID) {
    return owner == endpoint && upload == isUpload && (!workID || !transferID || normalized == *workID);
  };
  const bool cancels = std::visit(Overloaded{
                                      [&](const FilePick& pick) { return matches(pick.endpoint, false, nullptr); },
                                      [&](const Download& download) {
                                        return matches(download.endpoint, false, &download.transferID);
                                      },
                                      [&](const DestinationPick& pick) {
                                        return matches(pick.endpoint, true, &pick.offer.transferID);
                                      },
                                      [&](const Upload& upload) {
                                        return matches(upload->endpoint, true, &upload->transferID);
                                      },
                                  },
                                  it->second);
  if (cancels) endWork(*takeState(sessionID), std::nullopt);
}

void RemoteFileTransferCoordinator::failTransfers(const std::string& sessionID, std::string_view code) {
  assertOnMainThread();
  if (auto state = takeState(sessionID)) endWork(std::move(*state), code);
}

void RemoteFileTransferCoordinator::cancelTransfers(const std::string& sessionID) {
  assertOnMainThread();
  if (auto state = takeState(sessionID)) endWork(std::move(*state), std::nullopt);
}

void RemoteFileTransferCoordinator::cancelAllTransfers() {
  assertOnMainThread();
  std::map<std::string, SessionState> sessions;
  {
    std::lock_guard lock(sessionsMutex_);
    sessions.swap(sessions_);
  }
  for (auto& [sessionID, state] : sessions) endWork(std::move(state), std::nullopt);
}

}  // namespace veltrano
