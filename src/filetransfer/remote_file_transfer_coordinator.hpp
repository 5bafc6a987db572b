#pragma once
// Runs every file transfer of the host, in both directions, for every client over either transport. A client is
// a session key plus its endpoint; the coordinator knows nothing of sockets or data channels. At most one file
// operation runs in the whole host at a time: a file pick, an offered or running download, a destination pick or
// a running upload; any other request meanwhile is answered "busy".
//
// Main thread only, except handleIncomingChunk and handleDownloadReceipt. Outcomes reach the client only as messages through its endpoint's
// control sink; the coordinator never throws. Each session has at most one state (a file pick, a download, a
// destination pick or a running upload), changed only on the main thread. Every continuation after a wait
// re-checks that the session still holds the same panel, sender or upload and endpoint before it changes or sends
// anything, and a state is taken out before its panel, sender or writer is stopped, so late reports stay silent.
//
// Upload frames do not cross the main thread: they go from the caller straight to the upload's writer, and the
// receipts leave from the writer's executor (RunningUpload). The main thread decides once per upload: it accepts
// the offer, takes the destination, finishes or ends it. Download receipts do not cross it either: they go from
// the caller straight to the sender, which paces the download by them.
#include <boost/asio/awaitable.hpp>

#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "base/json.hpp"
#include "filetransfer/download_source.hpp"
#include "filetransfer/file_panels.hpp"
#include "filetransfer/incoming_remote_file_writer.hpp"
#include "filetransfer/remote_file_messages.hpp"
#include "filetransfer/remote_file_sender.hpp"
#include "filetransfer/remote_file_transfer_endpoint.hpp"
#include "filetransfer/running_upload.hpp"

namespace veltrano {

class RemoteFileTransferCoordinator : public std::enable_shared_from_this<RemoteFileTransferCoordinator> {
 public:
  static std::shared_ptr<RemoteFileTransferCoordinator> create(std::shared_ptr<FilePanelPresenter> panels,
                                                               RemoteFileSenderTiming senderTiming = {});

  // Downloads (computer to client).
  void beginDownloadSelection(const std::string& sessionID, const RemoteFileTransferEndpointPtr& endpoint);
  void handleDownloadAccept(const std::string& transferID, const std::string& sessionID,
                            const RemoteFileTransferEndpointPtr& endpoint);
  // Any thread: a receipt for the session's download, handed to its sender; ignored when the session holds no
  // download of this identifier and endpoint. Receipts handed in one after another reach the sender in order.
  void handleDownloadReceipt(const std::string& transferID, std::uint64_t offset, const std::string& sessionID,
                             const RemoteFileTransferEndpointPtr& endpoint);

  // Uploads (client to computer).
  void handleUploadOffer(const json::Json& message, const std::string& sessionID,
                         const RemoteFileTransferEndpointPtr& endpoint);
  // One binary chunk frame of the session's upload; dropped when the session has none. Any executor; returns once
  // the frame is written or refused, without the main thread. Frames handed in one after another reach the
  // writer in that order.
  boost::asio::awaitable<void> handleIncomingChunk(Bytes frame, std::string sessionID);
  void handleUploadCompletion(const json::Json& message, const std::string& sessionID,
                              const RemoteFileTransferEndpointPtr& endpoint);

  // Either direction.
  void handleTransferCancel(const std::optional<std::string>& transferID, const std::string& sessionID, bool isUpload,
                            const RemoteFileTransferEndpointPtr& endpoint);
  // The session's file channel is gone: ends its work and tells the client with `code`.
  void failTransfers(const std::string& sessionID, std::string_view code);
  // The client is gone: ends its work silently.
  void cancelTransfers(const std::string& sessionID);
  void cancelAllTransfers();

  bool isBusy() const;

 private:
  // What a session's file work stands at. A session without work has no entry.
  struct FilePick {  // the open panel, choosing a file to send
    std::shared_ptr<FilePanel> panel;
    RemoteFileTransferEndpointPtr endpoint;
  };
  struct Download {  // offered, or sending once accepted
    std::string transferID;
    RemoteFileTransferEndpointPtr endpoint;
    std::shared_ptr<RemoteFileSender> sender;
  };
  struct DestinationPick {  // the save panel, choosing where to store an offered upload
    std::shared_ptr<FilePanel> panel;
    RemoteFileTransferEndpointPtr endpoint;
    RemoteFileOffer offer;
  };
  using Upload = std::shared_ptr<RunningUpload>;  // receiving, or finishing
  using SessionState = std::variant<FilePick, Download, DestinationPick, Upload>;

  RemoteFileTransferCoordinator(std::shared_ptr<FilePanelPresenter> panels, RemoteFileSenderTiming senderTiming);

  // Main thread. The session's state when it is a `State`; valid until the session's state changes.
  template <class State>
  State* stateOf(const std::string& sessionID);
  // True while the session still shows this panel to this endpoint.
  bool showsPanel(const std::string& sessionID, const std::shared_ptr<FilePanel>& panel,
                  const RemoteFileTransferEndpointPtr& endpoint);
  bool holdsUpload(const std::string& sessionID, const Upload& upload);
  // Main thread; the chunk path reads the table meanwhile.
  void setState(const std::string& sessionID, SessionState state);
  std::optional<SessionState> takeState(const std::string& sessionID);
  // Any thread.
  Upload uploadFor(const std::string& sessionID) const;
  std::shared_ptr<RemoteFileSender> senderFor(const std::string& sessionID, const std::string& transferID,
                                              const RemoteFileTransferEndpointPtr& endpoint) const;
  // Stops work taken out of its session: closes the panel, stops the sender, or keeps the writer from storing and
  // deletes its partial file. With a code the client is told, as a lost channel does; without, nothing is sent.
  static void endWork(SessionState state, std::optional<std::string_view> code);

  void selectionEnded(const std::string& sessionID, const std::shared_ptr<FilePanel>& panel,
                      const RemoteFileTransferEndpointPtr& endpoint, const FilePanelResult& result);
  static boost::asio::awaitable<void> offerDownload(std::weak_ptr<RemoteFileTransferCoordinator> weakSelf,
                                                    std::filesystem::path path, std::string sessionID,
                                                    std::shared_ptr<FilePanel> panel,
                                                    RemoteFileTransferEndpointPtr endpoint);
  // The session's download when it has this identifier (in either case) and this endpoint.
  const Download* offeredTo(const std::string& sessionID, const std::string& transferID,
                            const RemoteFileTransferEndpointPtr& endpoint);
  void finishDownload(const std::string& sessionID, const std::string& transferID,
                      const RemoteFileTransferEndpointPtr& endpoint, const RemoteFileSender::Result& result);

  void destinationEnded(const std::string& sessionID, const std::shared_ptr<FilePanel>& panel,
                        const RemoteFileTransferEndpointPtr& endpoint, const FilePanelResult& result);
  static boost::asio::awaitable<void> acceptUploadDestination(std::weak_ptr<RemoteFileTransferCoordinator> weakSelf,
                                                              std::filesystem::path path, std::string sessionID,
                                                              std::shared_ptr<FilePanel> panel,
                                                              RemoteFileTransferEndpointPtr endpoint,
                                                              RemoteFileOffer offer);
  void uploadRefusedFrame(const std::string& sessionID, const Upload& upload);
  static boost::asio::awaitable<void> finishUpload(std::weak_ptr<RemoteFileTransferCoordinator> weakSelf,
                                                   std::string sessionID, Upload upload, std::uint64_t size,
                                                   std::string sha256);

  // Tells the client the panel's display once the panel knows it, while the panel is still up for it.
  void reportPickerDisplay(const std::string& sessionID, const std::shared_ptr<FilePanel>& panel,
                           const RemoteFileTransferEndpointPtr& endpoint, RemoteFileDirection direction);
  // Takes the writer out of service: it will not store the file any more, and its partial file goes.
  static void discardWriter(std::shared_ptr<IncomingRemoteFileWriter> writer);
  static void sendFileError(const RemoteFileTransferEndpointPtr& endpoint, std::string_view code,
                            RemoteFileDirection direction, const std::optional<std::string>& transferID);

  const std::shared_ptr<FilePanelPresenter> panels_;
  const RemoteFileSenderTiming senderTiming_;
  // Changed on the main thread under the lock; read there without it, and elsewhere under it.
  mutable std::mutex sessionsMutex_;
  std::map<std::string, SessionState> sessions_;
};

template <class State>
State* RemoteFileTransferCoordinator::stateOf(const std::string& sessionID) {
  auto it = sessions_.find(sessionID);
  return it == sessions_.end() ? nullptr : std::get_if<State>(&it->second);
}

}  // namespace veltrano
