#pragma once
// The routing contract shared by the control server and remote access: one client's file-transfer JSON message
// goes to the coordinator operation its "type" and "flow" select; anything that does not meet its condition is
// dropped without a reply. Main thread.
#include <string>

#include "base/json.hpp"
#include "filetransfer/remote_file_transfer_coordinator.hpp"

namespace veltrano {

// True when the message's "type" names one of the ten file-transfer messages (such a message never goes to the
// command handler, whether or not it is routed).
bool isFileTransferMessage(const json::Json& message);

void routeFileTransferMessage(RemoteFileTransferCoordinator& coordinator, const json::Json& message,
                              const std::string& sessionID, const RemoteFileTransferEndpointPtr& endpoint);

}  // namespace veltrano
