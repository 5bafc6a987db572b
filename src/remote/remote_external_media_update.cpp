// Hands the remote viewer counts and the media hub's sinks to the media servers.
#include "remote/remote_host_coordinator.hpp"

namespace veltrano {

// The media servers are not fed to remote peers yet: the counts stay theirs alone.
asio::awaitable<void> RemoteHostCoordinator::applyTransportUpdate(RemoteTransportUpdate) { co_return; }

}  // namespace veltrano
