#pragma once
// The routing contract shared by the control server and remote access: one client's file-transfer JSON message
// goes to the coordinator operation its "type" and "flow" select; anything that does not meet its condition is
// dropped without a reply. Main thread, except routeDownloadReceipt.
#include <string>

#include "base/json.hpp"
#include "filetransfer/remote_file_transfer_coordinator.hpp"

namespace veltrano {

// True when the message's "type" names one of the ten file-transfer messages (such a message never goes to the
// command handler, whether or not it is routed).
bool isFileTransferMessage(const json::Json& message);

// Any thread: when the message is a client's "fileStatus" for a download (however it fares), hands it to the
// coordinator and answers true; false for every other message, which goes through routeFileTransferMessage.
bool routeDownloadReceipt(RemoteFileTransferCoordinator& coordinator, const json::Json& message,
                          const std::string& sessionID, const RemoteFileTransferEndpointPtr& endpoint);

void routeFileTransferMessage(RemoteFileTransferCoordinator& coordinator, const json::Json& message,
                              const std::string& sessionID, const RemoteFileTransferEndpointPtr& endpoint);

}  // namespace veltrano
