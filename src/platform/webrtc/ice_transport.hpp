#pragma once
// One ICE component on libnice (RFC 5245, trickle, consent freshness) carrying datagrams for DTLS, over UDP or, where
// only TCP gets through, over TCP host candidates with each datagram framed (RFC 6544, RFC 4571). A restart
// renews the credentials of the current stream; when the host's own addresses changed since that stream gathered,
// it opens a new stream instead and moves the datagram path there once the new stream connects, so DTLS and SCTP
// above never notice.
//
// The state follows the path: a restart or a new stream reads `checking` until a pair of the new generation is
// selected, and a selected pair that has carried nothing for a few seconds reads `disconnected` until it carries
// again (libnice keeps its consent checks to itself; the layers above send heartbeats often enough that a live
// path is never that quiet). With VELTRANO_ICE_LOOPBACK=1 in the environment, candidates are gathered on the
// loopback interface too, so that peers on one machine reach each other without any other network.
//
// Threads: created, used and destroyed on the network thread; every callback runs there.
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <vector>

#include "platform/webrtc/network_sequence.hpp"
#include "platform/webrtc/datagram_link.hpp"
#include "platform/webrtc/ice_servers.hpp"

typedef struct _NiceAgent NiceAgent;
typedef struct _GMainContext GMainContext;
typedef struct _NiceCandidate NiceCandidate;
typedef struct _GSource GSource;

namespace veltrano::webrtc {

struct IceCredentials {
  std::string ufrag;
  std::string pwd;
};

enum class IceState { idle, gathering, checking, connected, disconnected, failed };

struct IceCandidateInfo {
  std::string type;  // "host", "srflx", "prflx" or "relay"
  std::string address;
  int port = 0;
  std::string protocol;  // "udp" or "tcp"
  double priority = 0;
};

struct IceSelectedPair {
  IceCandidateInfo local;
  IceCandidateInfo remote;
};

struct IceTransportCallbacks {
  std::function<void(const std::string& candidateLine)> onLocalCandidate;  // "candidate:..."
  std::function<void(IceState)> onStateChange;
  std::function<void(std::span<const std::uint8_t>)> onDatagram;
};

struct IceTransportOptions {
  bool controlling = false;
  ResolvedIceServers servers;
  bool relayOnly = false;
};

class IceTransport final : public DatagramLink {
 public:
  IceTransport(GMainContext* context, IceTransportOptions options, IceTransportCallbacks callbacks);
  ~IceTransport() override;
  IceTransport(const IceTransport&) = delete;
  IceTransport& operator=(const IceTransport&) = delete;

  void setControlling(bool controlling);
  // Replaces the servers; streams gathered from now on use them.
  void setServers(ResolvedIceServers servers, bool relayOnly);
  IceCredentials localCredentials() const;
  // Starts gathering on the current stream once; local candidates then trickle out through the callbacks.
  void gather();
  bool gatheringDone() const;
  std::vector<std::string> localCandidates() const;

  // Credentials other than the last ones mean the peer restarted; callers restart first, as the remote
  // candidates of the old generation are gone after a restart.
  bool setRemoteCredentials(const IceCredentials& credentials);
  std::optional<IceCredentials> remoteCredentials() const;
  // Accepts "candidate:..." with or without a leading "a="; false when libnice cannot parse it, or when a TCP
  // candidate lacks its "tcptype" (active, passive or so).
  bool addRemoteCandidate(const std::string& candidateLine);
  void remoteGatheringDone();

  // Fresh credentials for the next exchange; a new stream when the host's own addresses changed. The state reads
  // `checking` until the new generation has a selected pair.
  void restart();

  // How long a selected pair may carry nothing before it reads `disconnected`. libnice fails a pair 10 s after its
  // last answered consent check, and checks go every 4 to 6 s: a shorter silence than 4 s reads disconnected
  // first, always.
  static constexpr std::chrono::milliseconds kSilenceLimit{3000};

  IceState state() const { return state_; }
  std::optional<IceSelectedPair> selectedPair() const;
  // Dropped when there is no path yet.
  void send(std::span<const std::uint8_t> datagram) override;

 private:
  struct Stream;
  Stream* addStream();
  void removeStream(unsigned id);
  Stream* findStream(unsigned id);
  Stream& current() { return *streams_.back(); }
  const Stream& current() const { return *streams_.back(); }
  void applyServers(Stream& stream);
  void removeStaleStreams();
  void setState(IceState state);
  void handleComponentState(unsigned streamId, unsigned componentState);
  void handleGatheringDone(unsigned streamId);
  void handleNewCandidate(NiceCandidate* candidate);
  void handleDatagram(unsigned streamId, std::span<const std::uint8_t> datagram);
  void heard();
  void armSilenceCheck(std::chrono::steady_clock::time_point deadline);
  void checkSilence();
  void addLoopbackAddresses();
  std::set<std::string> hostAddresses() const;

  NiceAgent* agent_;
  GMainContext* context_;
  IceTransportOptions options_;
  IceTransportCallbacks callbacks_;
  // Oldest first; the last one is the one being signaled. The datagram path uses `active_`.
  std::vector<std::unique_ptr<Stream>> streams_;
  unsigned active_ = 0;
  IceState state_ = IceState::idle;
  std::vector<unsigned long> handlers_;
  GSource* cleanup_ = nullptr;
  const bool loopback_;
  std::set<std::string> addedAddresses_;
  std::chrono::steady_clock::time_point lastHeard_;
  GSource* silenceCheck_ = nullptr;
  NetworkSequence sequence_;
};

}  // namespace veltrano::webrtc
