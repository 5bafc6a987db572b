#pragma once
// One WebRTC peer connection to one remote tablet, data channels only. The owner feeds it the peer signals that
// arrive through signaling, forwards the signals it reports, opens channels and sends messages on them. Every
// message goes out as "VLC1" chunks and arriving chunks are put back together; the route of the connection is
// probed each time it connects.
//
// Threads: the session's state lives on a strand of a small pool that serves peer sessions only (no caller runs
// there), always on the same thread of it, so a session costs no thread of its own. Every operation is queued
// there and returns at once; an answer comes back through a continuation that runs on the strand. Every callback
// runs on that strand, one at a time and in the order the events happened; after `closed` none follows. The owner's reference is the only one that keeps
// the session: queued operations, library completions and the route retry hold it weakly, and do nothing once it
// is gone. Releasing the session closes its connection (as close() does, without reporting `closed`); it joins
// nothing and may happen on any thread.
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "base/clock.hpp"
#include "base/encoding.hpp"
#include "base/executors.hpp"
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
  // Returns at once with nothing queued: the owner sets the callbacks, then calls start(). `forceRelay` restricts
  // ICE to relay candidates.
  static std::shared_ptr<WebRTCPeerSession> create(std::vector<SignalingICEServer> iceServers, bool forceRelay,
                                                   WebRTCPeerEnvironment environment);
  // Makes the peer connection on the strand; `made` hears whether it could be made. A session without one
  // refuses everything and reports nothing.
  void start(std::function<void(bool made)> made);

  WebRTCPeerCallbacks& callbacks() { return *callbacks_; }
  const Strand& executor() const { return strand_; }

  // "offer", "answer", "candidate", "iceRestart" or "hangup" with its JSON body; anything else, and a body that
  // does not decode, is ignored without a report.
  void handleRemoteSignal(std::string type, Bytes payload);
  // Gets or creates the channel; `opened` hears false when the session is closed or no channel could be made.
  void openChannel(std::string label, bool reliable, std::function<void(bool)> opened = nullptr);
  // Sends one message as chunks; `sent` hears true only when the channel took every chunk. Refused when the session
  // is closed, the channel is missing or not open, the message cannot be framed, or the label's send budget is
  // spent. Neither answer comes when the session is gone first.
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

  WebRTCPeerSession(webrtc::PeerConfiguration configuration, WebRTCPeerEnvironment environment);
 public:
  ~WebRTCPeerSession() override;

 private:

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
  // Closes the channels and the connection; true when they were still open.
  bool closeConnection();
  void receiveMessage(const ChannelObserver& observer, const Bytes& data, bool arrivedOpen);
  void refreshRoute(int attempt);
  void evaluateRoute(const webrtc::StatisticsReport& report, int attempt);

  // Queues `step` on the strand holding the session weakly: nothing happens once it is gone.
  void post(std::function<void(WebRTCPeerSession&)> step);
  webrtc::DescriptionCompletion localDescriptionStep();

  const Strand strand_;
  const std::shared_ptr<WebRTCPeerCallbacks> callbacks_;
  const WebRTCPeerEnvironment environment_;
  const webrtc::PeerConfiguration configuration_;

  // Strand state.
  std::shared_ptr<webrtc::PeerConnection> peerConnection_;
  std::map<std::string, ChannelEntry> channels_;
  std::vector<std::shared_ptr<ChannelObserver>> channelObservers_;  // also of replaced channels, until close
  std::vector<webrtc::IceCandidate> pendingCandidates_;
  ChunkReassembly assemblies_;
  std::uint32_t nextMessageID_;
  bool hasRemoteDescription_ = false;
  bool isClosed_ = true;  // until the connection is made
  bool closedReported_ = false;
  std::optional<WebRTCRoute> lastReportedRoute_;
  Task routeRetry_;
};

}  // namespace veltrano
