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
  // A session that ended meanwhile, or whose identifier another peer has taken, hears nothing.
  enterSession(weak_from_this(), sessionID, peer,
               [](RemoteHostCoordinator& self, const std::string&, Session&,
                  const std::shared_ptr<WebRTCPeerSession>& current) { self.sendHello(current); });
}

void RemoteHostCoordinator::sendHello(const std::shared_ptr<WebRTCPeerSession>& peer) {
  assertOnMainThread();
  const json::Json hello = makeRemoteHelloMessage(metrics->hostWidth.get(), metrics->hostHeight.get(),
                                                  metrics->activeDisplayID.get(), metrics->availableDisplays.get());
  queueOnPeer(peer, std::string(controlChannelLabel), asBytes(json::dump(hello)));
}

}  // namespace veltrano
