#include "filetransfer/file_transfer_message_routing.hpp"

namespace veltrano {

bool isFileTransferMessage(const json::Json& message) {
  return remoteFileMessageType(message) != RemoteFileMessageType::unknown;
}

bool routeDownloadReceipt(RemoteFileTransferCoordinator& coordinator, const json::Json& message,
                          const std::string& sessionID, const RemoteFileTransferEndpointPtr& endpoint) {
  if (!message.is_object() || remoteFileMessageType(message) != RemoteFileMessageType::fileStatus) return false;
  if (!endpoint || isUploadFlow(message) || json::stringMember(message, "status") != "received") return true;
  auto transferID = json::stringMember(message, "transferID");
  auto offset = parseUInt64Member(message, "offset");
  if (transferID && offset) coordinator.handleDownloadReceipt(*transferID, *offset, sessionID, endpoint);
  return true;
}

void routeFileTransferMessage(RemoteFileTransferCoordinator& coordinator, const json::Json& message,
                              const std::string& sessionID, const RemoteFileTransferEndpointPtr& endpoint) {
  if (!endpoint || !message.is_object() || message.empty()) return;
  const bool upload = isUploadFlow(message);
  switch (remoteFileMessageType(message)) {
    case RemoteFileMessageType::filePickerRequest:
      if (!upload) coordinator.beginDownloadSelection(sessionID, endpoint);
      return;
    case RemoteFileMessageType::fileStatus:
      routeDownloadReceipt(coordinator, message, sessionID, endpoint);
      return;
    case RemoteFileMessageType::fileAccept: {
      auto transferID = json::stringMember(message, "transferID");
      if (!upload && transferID) coordinator.handleDownloadAccept(*transferID, sessionID, endpoint);
      return;
    }
    case RemoteFileMessageType::fileUploadOffer:
      if (upload) coordinator.handleUploadOffer(message, sessionID, endpoint);
      return;
    case RemoteFileMessageType::fileCancel:
      coordinator.handleTransferCancel(json::stringMember(message, "transferID"), sessionID, upload, endpoint);
      return;
    case RemoteFileMessageType::fileComplete:
      if (upload) coordinator.handleUploadCompletion(message, sessionID, endpoint);
      return;
    case RemoteFileMessageType::fileOffer:
    case RemoteFileMessageType::fileUploadAccept:
    case RemoteFileMessageType::fileUploadStored:
    case RemoteFileMessageType::fileError:
    case RemoteFileMessageType::unknown:
      return;
  }
}

}  // namespace veltrano
