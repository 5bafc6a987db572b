#pragma once
// Keeps the host logged in to the account's signaling service: one WebSocket at a time, the challenge answered
// with the account key, the online devices, ICE server lists and signals, a heartbeat, and reconnection with
// back-off. An actor: everything runs on its strand of the shared I/O context, and the callbacks are called there,
// synchronously, so they must hand their work on.
#include <boost/asio/awaitable.hpp>

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "base/clock.hpp"
#include "base/continuation.hpp"
#include "base/executors.hpp"
#include "base/task.hpp"
#include "platform/websocket/websocket_connection.hpp"
#include "remote/signaling_messages.hpp"
#include "remote/signed_signals.hpp"
#include "transport/veltrano_identity.hpp"

namespace veltrano {

// The build's signaling endpoint.
platform::WssEndpoint defaultSignalingEndpoint();

class SignalingClient : public std::enable_shared_from_this<SignalingClient> {
 public:
  struct State {
    enum class Kind { failed, stopped, connecting, connected, waitingToRetry };
    Kind kind = Kind::stopped;
    std::string failure;  // for `failed`: the error's description
    // Which connection of this client the state is about: each attempt to connect counts one up.
    std::uint64_t connection = 0;
    bool operator==(const State&) const = default;
  };

  struct Callbacks {
    std::function<void(const State&)> onState;
    std::function<void(const std::vector<SignalingDevice>&)> onDevices;
    std::function<void(const SignalingPayload&)> onSignal;
    std::function<void(const std::vector<SignalingICEServer>&)> onICEServers;
  };

  static constexpr auto heartbeatInterval = std::chrono::seconds(20);
  static constexpr auto iceServerRefreshInterval = std::chrono::seconds(600);

  // `clock` carries the heartbeat and the back-off; `webSocket` the time-out, size limit and trust store.
  static std::shared_ptr<SignalingClient> create(platform::WssEndpoint endpoint, VeltranoIdentity identity,
                                                 std::string deviceID, std::string deviceName, std::string role,
                                                 Callbacks callbacks, Clock& clock = systemClock(),
                                                 platform::WebSocketOptions webSocket = {});

  // Callable from any executor; each runs on the client's strand.
  asio::awaitable<void> start();
  asio::awaitable<void> stop();
  // Returns the number of the connection it replaced: the states of the new one carry higher numbers.
  asio::awaitable<std::uint64_t> networkChanged();
  // Whether the path monitor reports a usable network path. Without one, a connection attempt waits (reported as
  // `connecting`) and its time-out starts once a path comes. Callable from any thread; applied in call order.
  void setNetworkPathAvailable(bool available);
  // Seals, signs and sends one signal. Throws SignalingError (no connection), WebSocketError or a crypto error.
  asio::awaitable<void> sendSignal(std::string to, std::string sessionID, std::string kind, Bytes data);

  const Strand& strand() const { return strand_; }

 private:
  SignalingClient(platform::WssEndpoint endpoint, VeltranoIdentity identity, std::string deviceID,
                  std::string deviceName, std::string role, Callbacks callbacks, Clock& clock,
                  platform::WebSocketOptions webSocket);

  using Connection = std::shared_ptr<platform::WebSocketConnection>;

  void spawnRunner();
  static asio::awaitable<void> run(std::shared_ptr<SignalingClient> self, TaskToken token);
  // `authenticatedAt` is set once "authenticated" arrived.
  asio::awaitable<void> connectAndServe(TaskToken token, std::optional<Clock::TimePoint>& authenticatedAt);
  asio::awaitable<void> waitForNetworkPath(const TaskToken& token);
  // Opens the connection and answers the challenge; the "authenticated" message.
  asio::awaitable<SignalingEnvelope> logIn(const Connection& connection, const TaskToken& token);
  static asio::awaitable<void> heartbeat(std::weak_ptr<SignalingClient> weakSelf, Connection connection,
                                         TaskToken token);
  bool refreshIdentity();
  void handleEnvelope(const SignalingEnvelope& envelope);
  void cleanUp(const Connection& connection);
  void replaceDevices(const std::optional<std::vector<SignalingDevice>>& devices);
  void reportDevices() const;
  void reportState(State::Kind kind, std::string failure = {}) const;

  const Strand strand_;
  const platform::WssEndpoint endpoint_;
  VeltranoIdentity identity_;
  const std::string deviceID_;
  const std::string deviceName_;
  const std::string role_;
  const Callbacks callbacks_;
  Clock& clock_;
  const platform::WebSocketOptions webSocketOptions_;

  Connection socket_;
  Task runner_;
  // Run loops that a network change replaced, with the connection each had then: stop() ends and joins them too.
  struct ReplacedRunner {
    Task task;
    Connection connection;
  };
  std::vector<ReplacedRunner> replacedRunners_;
  bool running_ = false;
  std::map<std::string, SignalingDevice> devices_;
  SignalReplayTable receivedSequences_;
  std::uint64_t sequence_ = 0;
  std::uint64_t connection_ = 0;
  bool reconnectForIdentityChange_ = false;
  bool networkPathAvailable_ = true;
  std::vector<Continuation<>> pathWaiters_;
  std::optional<Clock::TimePoint> lastICEServerRefresh_;
};

// The device list in the order every report uses: by role, then by name ignoring case.
std::vector<SignalingDevice> sortedSignalingDevices(const std::map<std::string, SignalingDevice>& devices);

}  // namespace veltrano
