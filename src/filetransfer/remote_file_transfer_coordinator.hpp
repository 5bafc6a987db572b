#pragma once
// Runs every file transfer of the host, in both directions, for every client over either transport. A client is
// a session key plus its endpoint; the coordinator knows nothing of sockets or data channels. At most one file
// operation runs in the whole host at a time: a file pick, an offered or running download, a destination pick or
// a running upload; any other request meanwhile is answered "busy".
//
// Main thread only, except handleIncomingChunk, which hops there itself. Outcomes reach the client only as
// messages through its endpoint's control sink; the coordinator never throws. Every continuation after a wait
// re-checks that the session's entry still holds the same panel, sender or writer and endpoint before it changes
// or sends anything, and entries are removed before their sender or writer is cancelled, so late reports stay
// silent.
#include <boost/asio/awaitable.hpp>

#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "base/continuation.hpp"
#include "base/json.hpp"
#include "filetransfer/download_source.hpp"
#include "filetransfer/file_panels.hpp"
#include "filetransfer/incoming_remote_file_writer.hpp"
#include "filetransfer/remote_file_messages.hpp"
#include "filetransfer/remote_file_sender.hpp"
#include "filetransfer/remote_file_transfer_endpoint.hpp"

namespace veltrano {

class RemoteFileTransferCoordinator : public std::enable_shared_from_this<RemoteFileTransferCoordinator> {
 public:
  struct PendingSelection {
    std::shared_ptr<FilePanel> panel;
    RemoteFileTransferEndpointPtr endpoint;
  };
  struct TransferEntry {
    std::string transferID;
    RemoteFileTransferEndpointPtr endpoint;
    std::shared_ptr<RemoteFileSender> sender;
  };
  struct PendingUploadDestination {
    std::shared_ptr<FilePanel> panel;
    RemoteFileTransferEndpointPtr endpoint;
    RemoteFileOffer offer;
  };
  struct IncomingTransferEntry {
    std::string transferID;
    RemoteFileTransferEndpointPtr endpoint;
    std::shared_ptr<IncomingRemoteFileWriter> writer;
    // Set while the writer verifies and stores the upload: the client's confirmed size and checksum.
    std::optional<std::pair<std::uint64_t, std::string>> finishing;
  };

  static std::shared_ptr<RemoteFileTransferCoordinator> create(std::shared_ptr<FilePanelPresenter> panels,
                                                               RemoteFileSenderTiming senderTiming = {});

  // Downloads (computer to client).
  void beginDownloadSelection(const std::string& sessionID, const RemoteFileTransferEndpointPtr& endpoint);
  void handleDownloadAccept(const std::string& transferID, const std::string& sessionID,
                            const RemoteFileTransferEndpointPtr& endpoint);
  void handleDownloadReceipt(const std::string& transferID, std::uint64_t offset, const std::string& sessionID,
                             const RemoteFileTransferEndpointPtr& endpoint);

  // Uploads (client to computer).
  void handleUploadOffer(const json::Json& message, const std::string& sessionID,
                         const RemoteFileTransferEndpointPtr& endpoint);
  // One binary chunk frame of the session's upload; dropped when the session has none. Callable from any
  // executor; frames handed in one after another reach the writer in that order.
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
  const std::map<std::string, TransferEntry>& transfers() const { return transfers_; }
  const std::map<std::string, IncomingTransferEntry>& incomingTransfers() const { return incomingTransfers_; }

 private:
  RemoteFileTransferCoordinator(std::shared_ptr<FilePanelPresenter> panels, RemoteFileSenderTiming senderTiming);

  void selectionEnded(const std::string& sessionID, const std::shared_ptr<FilePanel>& panel,
                      const RemoteFileTransferEndpointPtr& endpoint, const FilePanelResult& result);
  static boost::asio::awaitable<void> offerDownload(std::weak_ptr<RemoteFileTransferCoordinator> weakSelf,
                                                    std::filesystem::path path, std::string sessionID,
                                                    std::shared_ptr<FilePanel> panel,
                                                    RemoteFileTransferEndpointPtr endpoint);
  void finishDownload(const std::string& sessionID, const std::string& transferID,
                      const RemoteFileTransferEndpointPtr& endpoint, const RemoteFileSender::Result& result);

  void destinationEnded(const std::string& sessionID, const std::shared_ptr<FilePanel>& panel,
                        const RemoteFileTransferEndpointPtr& endpoint, const FilePanelResult& result);
  static boost::asio::awaitable<void> acceptUploadDestination(std::weak_ptr<RemoteFileTransferCoordinator> weakSelf,
                                                              std::filesystem::path path, std::string sessionID,
                                                              std::shared_ptr<FilePanel> panel,
                                                              RemoteFileTransferEndpointPtr endpoint,
                                                              RemoteFileOffer offer);
  static void acceptChunk(const std::weak_ptr<RemoteFileTransferCoordinator>& weakSelf, Bytes frame,
                          const std::string& sessionID, Continuation<> handedOn);
  void chunkWritten(const std::string& sessionID, const std::shared_ptr<IncomingRemoteFileWriter>& writer,
                    const RemoteFileTransferEndpointPtr& endpoint, std::optional<std::uint64_t> received);
  static boost::asio::awaitable<void> finishUpload(std::weak_ptr<RemoteFileTransferCoordinator> weakSelf,
                                                   std::string sessionID,
                                                   std::shared_ptr<IncomingRemoteFileWriter> writer,
                                                   std::weak_ptr<RemoteFileTransferEndpoint> weakEndpoint,
                                                   std::uint64_t size, std::string sha256);

  // Queues the report of the panel's display for the client.
  void reportPickerDisplay(const std::string& sessionID, const std::shared_ptr<FilePanel>& panel,
                           const RemoteFileTransferEndpointPtr& endpoint, RemoteFileDirection direction);
  // Takes the writer out of service: it will not store the file any more, and its partial file goes.
  static void discardWriter(std::shared_ptr<IncomingRemoteFileWriter> writer);
  static void sendFileError(const RemoteFileTransferEndpointPtr& endpoint, std::string_view code,
                            RemoteFileDirection direction, const std::optional<std::string>& transferID);

  const std::shared_ptr<FilePanelPresenter> panels_;
  const RemoteFileSenderTiming senderTiming_;
  std::map<std::string, PendingSelection> pendingSelections_;
  std::map<std::string, TransferEntry> transfers_;
  std::map<std::string, PendingUploadDestination> pendingUploadDestinations_;
  std::map<std::string, IncomingTransferEntry> incomingTransfers_;
};

}  // namespace veltrano
