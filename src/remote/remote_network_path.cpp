// Recovery of the sessions when the computer's network path changes.
#include "remote/remote_host_coordinator.hpp"

namespace veltrano {

// The network path is not watched yet: signaling reconnects on its own, the sessions recover only by new offers.
void RemoteHostCoordinator::startNetworkMonitor() {}

void RemoteHostCoordinator::stopNetworkMonitor() {}

}  // namespace veltrano
