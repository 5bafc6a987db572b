#pragma once
// One WebRTC peer connection to one remote tablet, data channels only. The owner feeds it the peer signals that
// arrive through signaling, forwards the signals it reports, opens channels and sends messages on them. Every
// message goes out as "VLC1" chunks and arriving chunks are put back together; the route of the connection is
// probed each time it connects.
//
// Threads: the session's state lives on a serial queue that runs on a thread of its own, which no caller shares,
// so send(), openChannel() and create(), which block the caller until the queue has run them, cannot wait for a
// thread they themselves hold (never call them from the queue, that is from inside a callback). Every other
// operation is queued and returns at once. Every callback runs on that queue, one at a time and in the order the
// events happened; after `closed` none follows. Queued operations hold the session weakly, except a close, which
// holds it until it has run; library completions and the route retry hold it until they ran. Releasing the
// session does not close the connection; only close() does.
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "base/clock.hpp"
#include "base/encoding.hpp"
#include "base/executors.hpp"
#include "base/serial_thread.hpp"
#include "base/task.hpp"
#include "core/network_interfaces.hpp"
#include "platform/webrtc/peer_connection.hpp"
#include "remote/chunk_reassembly.hpp"
#include "remote/signaling_ice_server.hpp"
#include "remote/webrtc_peer_callbacks.hpp"

namespace veltrano {

using PeerConnectionFactory = std::function<std::shared_ptr<webrtc::PeerConnection>(
    const webrtc::PeerConfiguration&, std::weak_ptr<webrtc::PeerConnectionObserver>)>;

struct WebRTCPeerEnvironment {
  PeerConnectionFactory makePeerConnection;
  Clock* clock = &systemClock();  // route retries and the age of partial messages
  std::uint32_t lastMessageID = 0;  // the first message carries the next identifier
  // The host's own networks, read when a route is classified.
  std::function<std::vector<InterfaceSubnet>()> hostSubnets = systemInterfaceSubnets;
};

class WebRTCPeerSession : public webrtc::PeerConnectionObserver,
                          public std::enable_shared_from_this<WebRTCPeerSession> {
 public:
  // Nothing when no peer connection can be made. `forceRelay` restricts ICE to relay candidates.
  static std::shared_ptr<WebRTCPeerSession> create(const std::vector<SignalingICEServer>& iceServers, bool forceRelay,
                                                   WebRTCPeerEnvironment environment);

  WebRTCPeerCallbacks& callbacks() { return *callbacks_; }
  const Strand& executor() const { return strand_; }

  // "offer", "answer", "candidate", "iceRestart" or "hangup" with its JSON body; anything else, and a body that
  // does not decode, is ignored without a report.
  void handleRemoteSignal(std::string type, Bytes payload);
  // Gets or creates the channel; false when the session is closed or no channel could be made.
  bool openChannel(const std::string& label, bool reliable);
  // Sends one message as chunks; true only when the channel took every chunk. Refused when the session is closed,
  // the channel is missing or not open, the message cannot be framed, or the label's send budget is spent.
  bool send(const std::string& label, ByteView message);
  // The same without waiting for the strand: `sent` gets the answer on the strand (never when the session is gone
  // first). For callers that must not wait on a peer.
  void sendWithoutWaiting(std::string label, std::shared_ptr<const Bytes> message, std::function<void(bool)> sent);
  void close();
  // Starts an ICE restart from this side and sends a new offer; the next route found is reported even if unchanged.
  void restartIce();
  // An empty list installs the default STUN servers.
  void updateIceServers(std::vector<SignalingICEServer> iceServers);

 private:
  class ChannelObserver;
  struct ChannelEntry {
    std::shared_ptr<webrtc::DataChannel> channel;
    std::shared_ptr<ChannelObserver> observer;
  };

  WebRTCPeerSession(std::shared_ptr<WebRTCPeerCallbacks> callbacks, WebRTCPeerEnvironment environment);

  // Network thread: each hops to the strand.
  void onIceCandidate(const webrtc::IceCandidate& candidate) override;
  void onConnectionStateChange(webrtc::PeerConnectionState state) override;
  void onDataChannel(std::shared_ptr<webrtc::DataChannel> channel) override;

  // Strand.
  void reportState(webrtc::PeerConnectionState state);
  void reportFailure();
  void reportOpening(ChannelObserver& observer);
  bool isCurrent(const ChannelObserver& observer) const;
  void handleSignal(const std::string& type, const Bytes& payload);
  void applyRemoteDescription(const Bytes& payload, webrtc::SdpType type);
  void applyRemoteCandidate(const Bytes& payload);
  void flushPendingCandidates();
  void createAnswer();
  void createOffer();
  void setLocalDescription(webrtc::SessionDescription description);
  std::shared_ptr<webrtc::DataChannel> channel(const std::string& label, bool reliable);
  void adoptChannel(ChannelEntry entry);
  bool sendOnStrand(const std::string& label, ByteView message);
  void closeOnStrand();
  void receiveMessage(const ChannelObserver& observer, const Bytes& data, bool arrivedOpen);
  void refreshRoute(int attempt);
  void evaluateRoute(const webrtc::StatisticsReport& report, int attempt);

  // Queues `step` on the strand holding the session weakly: nothing happens once it is gone.
  void post(std::function<void(WebRTCPeerSession&)> step);
  // Runs `step` on the strand and waits for its result.
  template <class Step>
  auto runAndWait(Step step);
  webrtc::DescriptionCompletion localDescriptionStep();

  // Declared first, so that it is joined after everything else is gone.
  SerialThread thread_;
  const Strand strand_;
  const std::shared_ptr<WebRTCPeerCallbacks> callbacks_;
  const WebRTCPeerEnvironment environment_;

  // Strand state.
  std::shared_ptr<webrtc::PeerConnection> peerConnection_;
  std::map<std::string, ChannelEntry> channels_;
  std::vector<std::shared_ptr<ChannelObserver>> channelObservers_;  // also of replaced channels, until close
  std::vector<webrtc::IceCandidate> pendingCandidates_;
  ChunkReassembly assemblies_;
  std::uint32_t nextMessageID_;
  bool hasRemoteDescription_ = false;
  bool isClosed_ = false;
  bool closedReported_ = false;
  std::optional<WebRTCRoute> lastReportedRoute_;
  Task routeRetry_;
};

}  // namespace veltrano
