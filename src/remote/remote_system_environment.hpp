#pragma once
// The remote host coordinator's real surroundings: the account key file, the signaling service the build names
// (or $VELTRANO_SIGNALING_URL), the system's trust store (which honours SSL_CERT_FILE) and the data-channel peer
// on the network thread, which the program keeps running.
#include <functional>
#include <memory>
#include <string>

#include "remote/remote_host_coordinator.hpp"

namespace veltrano {

// The build's endpoint, or the one in $VELTRANO_SIGNALING_URL when that is set; a value that is not a wss URL is
// reported and the build's endpoint used.
platform::WssEndpoint configuredSignalingEndpoint();

RemoteHostEnvironment systemRemoteHostEnvironment(std::shared_ptr<StringDefaults> defaults,
                                                  std::function<std::string()> computerName);

}  // namespace veltrano
