#pragma once
// A WebRTC peer that carries data channels only (no media tracks): ICE, DTLS, SCTP and channel set-up behind one
// small surface. The rest of the system talks to remote tablets only through this header.
//
// Threads: every observer call arrives on the peer's own network thread (one per process, shared by all peers),
// never on the caller's thread and never while the caller is inside a method of this interface. Methods may be
// called from any thread; completions run on the network thread. Observers are held weakly.
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <variant>
#include <vector>

namespace veltrano::webrtc {

struct IceServer {
  std::vector<std::string> urls;  // "stun:host:port", "turn:host:port?transport=udp", "turns:host:port"
  std::optional<std::string> username;
  std::optional<std::string> credential;
  bool verifyTlsCertificate = true;  // false: a "turns:" server's certificate is not checked
  std::vector<std::string> tlsAlpnProtocols;
};

enum class IceTransportPolicy { all, relay };

struct PeerConfiguration {
  std::vector<IceServer> iceServers;
  IceTransportPolicy iceTransportPolicy = IceTransportPolicy::all;
  // How long gathering waits for the servers' names to resolve before it starts without them; a name known later
  // serves the next gathering (an ICE restart on a new address).
  std::chrono::milliseconds serverLookupLimit = std::chrono::seconds(1);
};

enum class SdpType { offer, answer };

struct SessionDescription {
  SdpType type = SdpType::offer;
  std::string sdp;
};

struct IceCandidate {
  std::string sdp;  // the candidate line ("candidate:..."), as trickled in signaling
  std::int32_t sdpMLineIndex = 0;
  std::optional<std::string> sdpMid;
};

enum class PeerConnectionState { newState, connecting, connected, disconnected, failed, closed };

enum class DataChannelState { connecting, open, closing, closed };

struct DataChannelInit {
  bool ordered = true;
  int maxRetransmits = -1;  // -1: no limit (reliable)
};

// A statistics report in the shape browsers give: id -> {type, values}. Holds at least one "transport" entry
// ("selectedCandidatePairId"), "candidate-pair" entries ("nominated", "selected" as 0/1, "localCandidateId",
// "remoteCandidateId") and "local-candidate"/"remote-candidate" entries ("candidateType": "host", "srflx",
// "prflx" or "relay").
struct Statistic {
  std::string type;
  std::map<std::string, std::variant<double, std::string>> values;
};
using StatisticsReport = std::map<std::string, Statistic>;

class DataChannelObserver {
 public:
  virtual ~DataChannelObserver() = default;
  virtual void onStateChange() = 0;
  virtual void onMessage(std::span<const std::byte> message, bool binary) = 0;
  // The buffered amount went down (the network took some of it).
  virtual void onBufferedAmountChange() {}
};

class DataChannel {
 public:
  virtual ~DataChannel() = default;
  virtual std::string label() const = 0;
  virtual DataChannelState readyState() const = 0;
  // Bytes handed to send() and not yet acknowledged by the peer (or given up, on an unreliable channel).
  virtual std::uint64_t bufferedAmount() const = 0;
  // False when the channel is not open or refuses the message (too large, or its send buffer is full).
  virtual bool send(std::span<const std::byte> message, bool binary) = 0;
  virtual void close() = 0;
  virtual void setObserver(std::weak_ptr<DataChannelObserver> observer) = 0;
};

class PeerConnectionObserver {
 public:
  virtual ~PeerConnectionObserver() = default;
  virtual void onIceCandidate(const IceCandidate& candidate) = 0;
  virtual void onConnectionStateChange(PeerConnectionState state) = 0;
  // A channel the remote peer opened; its state may already be open.
  virtual void onDataChannel(std::shared_ptr<DataChannel> channel) = 0;
};

// Completions carry an error text when the step failed.
using DescriptionCompletion = std::function<void(std::optional<SessionDescription>, std::string error)>;
using StepCompletion = std::function<void(std::optional<std::string> error)>;
using StatisticsCompletion = std::function<void(StatisticsReport)>;

class PeerConnection {
 public:
  virtual ~PeerConnection() = default;
  virtual void createOffer(DescriptionCompletion done) = 0;
  virtual void createAnswer(DescriptionCompletion done) = 0;
  virtual void setLocalDescription(SessionDescription description, StepCompletion done) = 0;
  virtual void setRemoteDescription(SessionDescription description, StepCompletion done) = 0;
  virtual void addIceCandidate(IceCandidate candidate, StepCompletion done) = 0;
  // New ICE credentials for the next offer; a restart after the host's own addresses changed gathers afresh.
  virtual void restartIce() = 0;
  virtual PeerConfiguration configuration() const = 0;
  // False when the configuration is rejected; the old one stays.
  virtual bool setConfiguration(const PeerConfiguration& configuration) = 0;
  // Nothing when the connection is closed or the label cannot be used.
  virtual std::shared_ptr<DataChannel> createDataChannel(const std::string& label, const DataChannelInit& init) = 0;
  virtual void getStatistics(StatisticsCompletion done) = 0;
  virtual void close() = 0;
};

// Starts the network thread, or joins the running one. It runs while a token or a peer is held: the application
// holds one token for as long as it may make peers.
std::shared_ptr<void> startNetworkThread();

// Nothing when the peer cannot be made (no network thread, bad configuration, too few descriptors left).
std::shared_ptr<PeerConnection> createPeerConnection(const PeerConfiguration& configuration,
                                                     std::weak_ptr<PeerConnectionObserver> observer);

}  // namespace veltrano::webrtc
