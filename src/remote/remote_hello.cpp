// The hello a remote session receives when its control channel opens.
#include "remote/remote_host_coordinator.hpp"

#include "base/executors.hpp"
#include "base/thread_checks.hpp"
#include "core/metrics_store.hpp"
#include "remote/data_channel_labels.hpp"
#include "remote/remote_hello_message.hpp"
#include "remote/remote_peer_send.hpp"

namespace veltrano {

void RemoteHostCoordinator::handleChannelOpened(const std::string& label, const std::string& sessionID,
                                                const PeerWeak& peer) {
  if (label != controlChannelLabel) return;
  performOnMainRunLoop([weak = weak_from_this(), peer, sessionID] {
    const auto self = weak.lock();
    const auto current = peer.lock();
    if (self && current) self->sendHello(sessionID, current);
  });
}

void RemoteHostCoordinator::sendHello(const std::string& sessionID, const std::shared_ptr<WebRTCPeerSession>& peer) {
  assertOnMainThread();
  // A session that ended meanwhile, or whose identifier another peer has taken, hears nothing.
  if (!sessionOwnedBy(sessionID, peer)) return;
  const json::Json hello = makeRemoteHelloMessage(metrics->hostWidth.get(), metrics->hostHeight.get(),
                                                  metrics->activeDisplayID.get(), metrics->availableDisplays.get());
  queueOnPeer(peer, std::string(controlChannelLabel), asBytes(json::dump(hello)));
}

}  // namespace veltrano
