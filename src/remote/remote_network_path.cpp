// Recovery of the sessions when the computer's network path changes: the path is watched, reduced to a
// fingerprint, and a real change reconnects signaling and, once it is back, restarts ICE on every session.
#include "base/executors.hpp"
#include "base/thread_checks.hpp"
#include "remote/remote_host_coordinator.hpp"

namespace veltrano {

void RemoteHostCoordinator::startNetworkMonitor() {
  assertOnMainThread();
  if (networkMonitor_ || !environment_.makeNetworkPathMonitor || !lifecycleID_) return;
  networkMonitor_ = environment_.makeNetworkPathMonitor();
  // No path is known before the monitor's first report: the first attempt waits for it rather than failing.
  signaling_->setNetworkPathAvailable(false);
  networkMonitor_->setPathUpdateHandler(
      [weak = weak_from_this(), lifecycleID = *lifecycleID_](const platform::NetworkPath& path) {
        networkPathChanged(weak, lifecycleID, path);
      });
  // The path queue: updates are reduced there, one at a time, in delivery order.
  networkMonitor_->start(makeActorStrand());
}

void RemoteHostCoordinator::stopNetworkMonitor() {
  assertOnMainThread();
  if (networkMonitor_) networkMonitor_->cancel();
  networkMonitor_.reset();
  lastNetworkPath_.reset();
}

void RemoteHostCoordinator::networkPathChanged(const Weak& weak, const Uuid& lifecycleID,
                                               const platform::NetworkPath& path) {
  const bool satisfied = path.status == platform::NetworkPath::Status::satisfied;
  RemoteNetworkPathFingerprint fingerprint = makeNetworkPathFingerprint(path);
  // Every update is evaluated, in delivery order; one of an earlier start is dropped on the main thread.
  enterMain(weak, lifecycleID, [satisfied, fingerprint = std::move(fingerprint)](RemoteHostCoordinator& self) {
    self.handleNetworkPathUpdate(satisfied, fingerprint);
  });
}

void RemoteHostCoordinator::handleNetworkPathUpdate(bool satisfied, const RemoteNetworkPathFingerprint& fingerprint) {
  assertOnMainThread();
  if (!signaling_) return;
  signaling_->setNetworkPathAvailable(satisfied);
  if (!satisfied) {
    networkWasUnsatisfied_ = true;
    return;
  }
  if (!lastNetworkPath_) {
    lastNetworkPath_ = fingerprint;
    networkWasUnsatisfied_ = false;
    return;
  }
  // A path that went away and came back unchanged counts as a change: the connections made on it may be dead.
  const bool changed = *lastNetworkPath_ != fingerprint || networkWasUnsatisfied_;
  lastNetworkPath_ = fingerprint;
  networkWasUnsatisfied_ = false;
  if (!changed) return;
  for (auto& [sessionID, session] : sessions_) session.route.reset();
  reportRoutes();
  beginNetworkRecovery(!sessions_.empty());
}

void RemoteHostCoordinator::restartICEOnEverySession() {
  assertOnMainThread();
  for (auto& [sessionID, session] : sessions_) {
    session.peer->restartIce();
    // A connected report cancels it, as it does the limit of a new session.
    session.connectLimit.cancel();
    session.connectLimit =
        startConnectLimit(sessionID, session.peer, sessionRecoveryLimit, "did not reconnect after the network change");
  }
}


}  // namespace veltrano
