#pragma once
// RemoteHostCoordinator: the one owner of remote access. The host makes one per start, hands it the media
// servers, starts it and stops it with the host. It owns the signaling connection, the peer sessions (one per
// signaling session, keyed by the session identifier the tablet chose), the media hub that fans media out to the
// peers, the ICE server list with the signals that came before it, and the network path monitor. It reports a
// status text, the peers' routes and the number of connected peers.
//
// Main thread only, except where a declaration says otherwise: the closures handed to signaling, the path monitor
// and the peers run on those threads, and so do handleDataChannelMessage and handleChannelOpened, which a peer's
// callbacks call on the peer's own queue. Those two read only what is fixed at creation (the command handler, the
// transfer coordinator) and what the callbacks hold of the session (its lifetime flag, pointer queue and file
// endpoint, each safe from any thread). All of them post their work to the main thread; each post carries the
// start's lifecycle identifier or its peer, and is dropped there when that no longer matches. Every closure handed
// out holds the coordinator weakly.
#include <boost/asio/awaitable.hpp>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "base/clock.hpp"
#include "base/encoding.hpp"
#include "base/task.hpp"
#include "base/uuid.hpp"
#include "core/webrtc_route.hpp"
#include "filetransfer/remote_file_transfer_endpoint.hpp"
#include "media/external_media_outlet.hpp"
#include "platform/net/network_path_monitor.hpp"
#include "platform/websocket/websocket_endpoint.hpp"
#include "remote/device_identity.hpp"
#include "remote/negotiation_bound.hpp"
#include "remote/remote_host_media_hub.hpp"
#include "remote/remote_network_path_fingerprint.hpp"
#include "remote/remote_phone_pointer_queue.hpp"
#include "remote/remote_session_lifetime.hpp"
#include "remote/remote_signaling.hpp"
#include "remote/signaling_client.hpp"
#include "remote/signaling_messages.hpp"
#include "remote/webrtc_peer_callbacks.hpp"
#include "remote/webrtc_peer_session.hpp"
#include "transport/veltrano_identity.hpp"

namespace veltrano {

class InputCommandHandler;
class MetricsStore;
class RemoteFileTransferCoordinator;

// What the coordinator takes from its surroundings; tests give stand-ins.
struct RemoteHostEnvironment {
  std::function<VeltranoIdentity()> loadIdentity;  // throws when the account key cannot be had
  std::shared_ptr<StringDefaults> defaults;        // keeps the device identifier
  std::function<std::string()> computerName;
  platform::WssEndpoint signalingEndpoint;
  RemoteSignalingFactory makeSignaling;
  PeerConnectionFactory makePeerConnection;
  Clock* clock = &systemClock();  // negotiation limits, and the peers' own timers
  // Watches the computer's network path; without it, no path change is noticed.
  std::function<std::shared_ptr<platform::NetworkPathMonitor>()> makeNetworkPathMonitor;
};

// One request to the media servers: per attached display its server and remote viewer count, and the audio
// server with its remote listener count.
struct RemoteTransportUpdate {
  struct Video {
    std::uint32_t displayID = 0;
    std::shared_ptr<ExternalMediaOutlet> server;
    int viewerCount = 0;
  };
  std::vector<Video> video;
  std::shared_ptr<RemoteHostMediaHub> mediaHub;
  std::shared_ptr<ExternalMediaOutlet> audioServer;
  int audioListenerCount = 0;
};

class RemoteHostCoordinator : public std::enable_shared_from_this<RemoteHostCoordinator> {
 public:
  // One remote session, by value in `sessions`: a change is a read, a change and a write back.
  struct Session {
    std::string deviceID;
    std::shared_ptr<WebRTCPeerSession> peer;
    RemoteFileTransferEndpointPtr fileEndpoint;
    std::shared_ptr<RemotePhonePointerQueue> phonePointerQueue;
    std::shared_ptr<RemoteSessionLifetime> lifetime;
    bool audioEnabled = false;
    std::set<std::uint32_t> visibleDisplayIDs;
    std::optional<WebRTCRoute> route;
    bool isConnected = false;
    // Ends the session when it has not connected in time, as its tablet vanished: a new session within
    // sessionConnectLimit, one restarting ICE after a network change within sessionRecoveryLimit. A connected
    // report cancels it.
    Task connectLimit;
  };

  static constexpr std::size_t pendingSignalLimit = 256;
  static constexpr Clock::Duration sessionConnectLimit = std::chrono::seconds(60);
  // A session whose ICE restart after a network change has not connected by then is ended: its tablet vanished.
  static constexpr Clock::Duration sessionRecoveryLimit = std::chrono::seconds(30);
  static constexpr std::string_view signalingRole = hostSignalingRole;

  // Main thread. Creating it starts nothing.
  static std::shared_ptr<RemoteHostCoordinator> create(std::shared_ptr<MetricsStore> metrics,
                                                       std::shared_ptr<InputCommandHandler> commandHandler,
                                                       std::shared_ptr<RemoteFileTransferCoordinator> fileTransfers,
                                                       RemoteHostEnvironment environment);
  RemoteHostCoordinator(const RemoteHostCoordinator&) = delete;
  RemoteHostCoordinator& operator=(const RemoteHostCoordinator&) = delete;

  // --- Set by the host; called on the main thread ---
  std::function<void(const std::string& status)> onStatusChanged;
  std::function<void(const std::vector<WebRTCRoute>& routes)> onRoutesChanged;
  std::function<void(std::int64_t count)> onConnectedClientCountChanged;

  const std::shared_ptr<MetricsStore> metrics;
  const std::shared_ptr<InputCommandHandler> commandHandler;
  const std::shared_ptr<RemoteHostMediaHub> mediaHub;
  const std::shared_ptr<RemoteFileTransferCoordinator> fileTransfers;
  // Assigned by the host before updateExternalMediaClients().
  std::shared_ptr<ExternalMediaOutlet> audioServer;

  // --- Operations ---
  // Loads the identity and logs in to signaling; returns without waiting for a connection. Nothing while running.
  void startRemoteHost();
  // Ends every session, stops signaling and hands the servers back. Also on a stopped coordinator.
  void stopRemoteHost();
  // Stores the server of a display and opens that display's channel on every session.
  void attachVideoServer(std::shared_ptr<ExternalMediaOutlet> server, std::uint32_t displayID);
  // Recounts remote viewers and listeners and queues the update of the servers.
  void updateExternalMediaClients();
  void reportConnectedClientCount();
  void reportRoutes();
  void enqueueTransportUpdate(RemoteTransportUpdate update);

  // The work the last stop started (the signaling client's stop and the final server update): the host's
  // shutdown waits for it, so the WebSocket's close goes out before the program ends.
  Task stopTask() const { return stopTask_; }

  // --- State, read by the host's tests and the other remote-access files ---
  const std::shared_ptr<RemoteSignaling>& signaling() const { return signaling_; }
  const std::map<std::string, Session>& sessions() const { return sessions_; }
  const std::map<std::uint32_t, std::shared_ptr<ExternalMediaOutlet>>& videoServers() const { return videoServers_; }
  const std::vector<SignalingICEServer>& iceServers() const { return iceServers_; }
  bool hasReceivedICEServers() const { return hasReceivedICEServers_; }
  std::size_t pendingSignalCount() const { return pendingSignals_.size(); }
  const std::optional<Uuid>& lifecycleID() const { return lifecycleID_; }
  const Task& transportUpdateTask() const { return transportUpdateTask_; }

  // Whether a signal's data is of the shape its kind needs, size limits first. Exact kind names.
  static bool parseSignal(const std::string& kind, ByteView data);

 private:
  template <class U, class... A>
  friend std::shared_ptr<U> makeMainThreadOwned(A&&...);
  using Weak = std::weak_ptr<RemoteHostCoordinator>;
  using PeerWeak = std::weak_ptr<WebRTCPeerSession>;

  RemoteHostCoordinator(std::shared_ptr<MetricsStore> metrics, std::shared_ptr<InputCommandHandler> commandHandler,
                        std::shared_ptr<RemoteFileTransferCoordinator> fileTransfers,
                        RemoteHostEnvironment environment);

  // Lifecycle and signaling (remote_host_coordinator.cpp).
  SignalingClient::Callbacks signalingCallbacks(const Uuid& lifecycleID);
  // Runs `handler` on the main thread if the coordinator is still there and still on this start.
  static void enterMain(Weak weak, Uuid lifecycleID, std::function<void(RemoteHostCoordinator&)> handler);
  void handleSignalingState(const SignalingClient::State& state);
  void setStatus(std::string_view key);
  std::string deviceName() const;
  static asio::awaitable<void> chainTransportUpdate(Task previous, RemoteTransportUpdate update, TaskToken token);

  // Peer sessions and signals (remote_peer_sessions.cpp).
  void handleICEServers(const std::vector<SignalingICEServer>& servers);
  void handleSignal(const SignalingPayload& signal);
  void createSession(const std::string& deviceID, const std::string& sessionID);
  // Whether an offer may make a new session now (NegotiationBound).
  bool admitsNewSession(const SignalingPayload& offer);
  RemoteFileTransferEndpointPtr makeFileEndpoint(const PeerWeak& peer);
  void installPeerCallbacks(WebRTCPeerSession& peer, const std::string& sessionID, const std::string& deviceID,
                            const Session& session);
  // Ends the session unless the returned task is cancelled within `limit`; `failure` ends its log line.
  Task startConnectLimit(const std::string& sessionID, const PeerWeak& peer, Clock::Duration limit,
                         std::string failure);
  void closeSession(const std::string& sessionID, bool closePeer,
                    const std::shared_ptr<WebRTCPeerSession>& expectedPeer);
  void endSessionInput(const Session& session);
  void beginNetworkRecovery(bool restartICEOnceBack = false);
  static asio::awaitable<void> forwardLocalSignal(Weak weak, std::string kind, Bytes data, std::string sessionID,
                                                  std::string deviceID, PeerWeak peer);
  // What a peer reports, run behind the session guard.
  void handlePeerState(WebRTCPeerCallbacks::State state, const std::string& sessionID, Session& session,
                       const std::shared_ptr<WebRTCPeerSession>& peer);
  void handlePeerConnected(const std::string& sessionID, Session& session,
                           const std::shared_ptr<WebRTCPeerSession>& peer);
  void handlePeerRoute(WebRTCRoute route, Session& session);

  // The session guard: work a peer's callback or a timer started reaches its session only while the coordinator
  // is there and the session still has that peer, not once it ended or another peer took its identifier.
  struct OwnedSession {
    std::shared_ptr<RemoteHostCoordinator> coordinator;
    std::shared_ptr<WebRTCPeerSession> peer;
    Session* session = nullptr;
    explicit operator bool() const { return session != nullptr; }
  };
  using SessionStep = std::function<void(RemoteHostCoordinator& self, const std::string& sessionID, Session& session,
                                         const std::shared_ptr<WebRTCPeerSession>& peer)>;
  // Main thread: the locked coordinator, peer and session, or nothing.
  static OwnedSession ownedSession(const Weak& weak, const std::string& sessionID, const PeerWeak& peer);
  // `step` behind the guard, for the main thread to run later.
  static std::function<void()> guarded(Weak weak, std::string sessionID, PeerWeak peer, SessionStep step);
  // Any thread: posts `step` behind the guard to the main thread.
  static void enterSession(Weak weak, std::string sessionID, PeerWeak peer, SessionStep step);
  // The session whose current peer is `peer`; none when it ended or was replaced.
  Session* sessionOwnedBy(const std::string& sessionID, const std::shared_ptr<WebRTCPeerSession>& peer);

  // Data-channel messages (remote_data_channel_messages.cpp). The first runs on the peer's queue, not the main
  // thread (see above), and posts the others to the main thread behind the session guard.
  void handleDataChannelMessage(const std::string& label, const Bytes& data, const std::string& sessionID,
                                const PeerWeak& peer, const std::shared_ptr<RemoteSessionLifetime>& lifetime,
                                const std::shared_ptr<RemotePhonePointerQueue>& pointerQueue,
                                const RemoteFileTransferEndpointPtr& fileEndpoint);
  void handleRemoteFileData(const Bytes& data, const std::string& sessionID);
  void handleRemoteFileMessage(const json::Json& message, const std::string& sessionID, const Session& session);
  void handleMediaControlMessage(const json::Json& message, const std::string& sessionID, Session& session);

  // The hello (remote_hello.cpp): the first on the peer's queue, not the main thread, the second on the main thread
  // behind the session guard.
  void handleChannelOpened(const std::string& label, const std::string& sessionID, const PeerWeak& peer);
  void sendHello(const std::shared_ptr<WebRTCPeerSession>& peer);

  // External media update (remote_external_media_update.cpp).
  static asio::awaitable<void> applyTransportUpdate(RemoteTransportUpdate update);

  // Network path recovery (remote_network_path.cpp).
  void startNetworkMonitor();
  void stopNetworkMonitor();
  // On the monitor's queue: reduces the path there and hands it to the main thread.
  static void networkPathChanged(const Weak& weak, const Uuid& lifecycleID, const platform::NetworkPath& path);
  void handleNetworkPathUpdate(bool satisfied, const RemoteNetworkPathFingerprint& fingerprint);
  // Once signaling is back after a change: each session restarts ICE and must connect again in time.
  void restartICEOnEverySession();

  const RemoteHostEnvironment environment_;
  NegotiationBound negotiationBound_{*environment_.clock};
  std::shared_ptr<RemoteSignaling> signaling_;
  std::map<std::string, Session> sessions_;
  std::map<std::uint32_t, std::shared_ptr<ExternalMediaOutlet>> videoServers_;
  std::vector<SignalingICEServer> iceServers_;
  bool hasReceivedICEServers_ = false;
  std::vector<SignalingPayload> pendingSignals_;
  std::optional<Uuid> lifecycleID_;
  Task transportUpdateTask_;
  std::shared_ptr<platform::NetworkPathMonitor> networkMonitor_;
  std::optional<RemoteNetworkPathFingerprint> lastNetworkPath_;
  bool networkWasUnsatisfied_ = false;
  // The newest signaling connection that reported connected, and the connection whose successor restarts ICE on
  // every session once it is connected (a network change replaced it).
  std::uint64_t lastConnectedSignaling_ = 0;
  std::optional<std::uint64_t> restartICEAfterConnection_;
  Task stopTask_;
};

}  // namespace veltrano
