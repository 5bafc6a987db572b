#pragma once
// The network-thread side of one peer connection: offer/answer state, ICE, and DTLS/SCTP with the data channels
// over it. Every method runs on the network thread; the core is destroyed there too.
#include <atomic>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/webrtc/network_sequence.hpp"
#include "platform/webrtc/data_channel_transport.hpp"
#include "platform/webrtc/dtls_identity.hpp"
#include "platform/webrtc/ice_server_resolver.hpp"
#include "platform/webrtc/ice_transport.hpp"
#include "platform/webrtc/network_thread.hpp"
#include "platform/webrtc/peer_connection.hpp"
#include "platform/webrtc/session_description.hpp"
#include "platform/webrtc/threaded_data_channel.hpp"

namespace veltrano::webrtc {

class PeerConnectionCore final : public DataChannelTransport::Observer,
                                 public std::enable_shared_from_this<PeerConnectionCore> {
 public:
  // What the remote peer may be sent at most, advertised in every description.
  static constexpr std::uint64_t kMaxMessageSize = 262144;

  PeerConnectionCore(std::shared_ptr<NetworkThread> thread, std::shared_ptr<const DtlsIdentity> identity,
                     std::vector<IceServer> servers, bool relayOnly, std::chrono::milliseconds serverLookupLimit,
                     std::weak_ptr<PeerConnectionObserver> observer);
  ~PeerConnectionCore() override;
  PeerConnectionCore(const PeerConnectionCore&) = delete;
  PeerConnectionCore& operator=(const PeerConnectionCore&) = delete;

  // Makes the ICE agent and starts resolving the servers' names; the first thing to run on the network thread.
  void start();

  void createOffer(DescriptionCompletion done);
  void createAnswer(DescriptionCompletion done);
  void setLocalDescription(const SessionDescription& description, StepCompletion done);
  void setRemoteDescription(const SessionDescription& description, StepCompletion done);
  void addIceCandidate(const IceCandidate& candidate, StepCompletion done);
  void restartIce() { restartPending_ = true; }
  // Gathering from now on waits until the names are resolved.
  void setServers(std::vector<IceServer> servers, bool relayOnly);
  void openChannel(std::shared_ptr<ThreadedDataChannel> channel, DataChannelInit init);
  StatisticsReport statistics() const;
  void close();

  const std::shared_ptr<std::atomic<std::size_t>>& remoteMaxMessageSize() const { return remoteMaxMessageSize_; }

 private:
  enum class Signaling { stable, haveLocalOffer, haveRemoteOffer };
  struct PendingChannel {
    std::shared_ptr<ThreadedDataChannel> channel;
    DataChannelInit init;
  };

  void onTransportStateChange(TransportState state, const std::string& reason) override;
  void onTimersDue(std::chrono::steady_clock::time_point due) override;
  void runTimers();
  void onDataChannel(std::shared_ptr<DataChannel> channel) override;
  void onIceState(IceState state);
  void onLocalCandidate(const std::string& line);

  // Gathers once the servers are known, or once their lookup took too long.
  void startGathering();
  void awaitServersAtMost();
  // Starts gathering and describes what there is so far.
  DataSessionDescription describeLocal(DtlsSetup setup);
  DataSessionDescription localDescription(DtlsSetup setup) const;
  void startTrickling();
  void announce(const std::string& line);
  std::optional<std::string> applyRemote(const DataSessionDescription& remote, bool isOffer);
  void ensureTransport(DtlsRole role);
  void startTransportWhenReady();
  void updateState();
  void setState(PeerConnectionState state);

  std::shared_ptr<NetworkThread> thread_;
  std::shared_ptr<const DtlsIdentity> identity_;
  std::weak_ptr<PeerConnectionObserver> observer_;
  std::unique_ptr<IceTransport> ice_;
  std::unique_ptr<DataChannelTransport> transport_;
  // Armed for the earliest deadline the transport asked for; nothing runs while it asks for none.
  std::unique_ptr<NetworkThread::Timer> timer_;
  std::optional<std::chrono::steady_clock::time_point> timerDue_;
  std::vector<PendingChannel> pendingChannels_;
  std::vector<std::weak_ptr<ThreadedDataChannel>> channels_;
  std::shared_ptr<std::atomic<std::size_t>> remoteMaxMessageSize_;
  std::vector<IceServer> servers_;
  bool relayOnly_ = false;
  std::unique_ptr<IceServerResolver> resolver_;
  bool serversResolved_ = false;
  bool gatheringWanted_ = false;
  std::chrono::milliseconds serverLookupLimit_;
  // Runs out when gathering has waited long enough for the servers' names; then it goes on without them.
  std::unique_ptr<NetworkThread::Timer> lookupTimer_;
  bool lookupExpired_ = false;
  // Local candidates already sent in a description or trickled, so that none goes out twice.
  std::set<std::string> announced_;
  // Whether our description of the current ICE generation has been set; until then candidates are held.
  bool trickling_ = false;
  std::vector<std::string> heldCandidates_;
  std::optional<DataSessionDescription> remote_;
  std::optional<DtlsRole> dtlsRole_;
  bool controlling_ = false;
  Signaling signaling_ = Signaling::stable;
  bool restartPending_ = false;
  bool closed_ = false;
  std::uint64_t sessionId_;
  std::uint64_t sessionVersion_ = 0;
  PeerConnectionState state_ = PeerConnectionState::newState;
  NetworkSequence sequence_;
};

}  // namespace veltrano::webrtc
