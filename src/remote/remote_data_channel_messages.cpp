// What a remote session sends on its data channels, and the hello on its control channel.
#include "remote/remote_host_coordinator.hpp"

namespace veltrano {

// Nothing a tablet sends is served yet: a remote session connects, and its messages are dropped.
void RemoteHostCoordinator::handleDataChannelMessage(const std::string&, const Bytes&, const std::string&,
                                                     const std::shared_ptr<RemoteSessionLifetime>&,
                                                     const std::shared_ptr<RemotePhonePointerQueue>&) {}

void RemoteHostCoordinator::handleChannelOpened(const std::string&, const std::string&, const PeerWeak&) {}

}  // namespace veltrano
