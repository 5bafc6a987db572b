#pragma once
// What the remote host coordinator needs of its signaling connection, so that it can run against the real
// signaling client or a stand-in. The real one is SignalingClient; its callbacks run on its own executor.
#include <boost/asio/awaitable.hpp>

#include <functional>
#include <memory>
#include <string>

#include "base/encoding.hpp"
#include "platform/websocket/websocket_connection.hpp"
#include "remote/signaling_client.hpp"
#include "transport/veltrano_identity.hpp"

namespace veltrano {

class RemoteSignaling {
 public:
  virtual ~RemoteSignaling() = default;
  virtual boost::asio::awaitable<void> start() = 0;
  // Closes the WebSocket with 1000; nothing is reported once it has returned.
  virtual boost::asio::awaitable<void> stop() = 0;
  // Closes the WebSocket with 1001 "network changed" and connects again. Returns the number of the connection it
  // replaced (SignalingClient::State::connection): states of the new one carry higher numbers.
  virtual boost::asio::awaitable<std::uint64_t> networkChanged() = 0;
  // Whether the network path monitor reports a usable path; connection attempts wait for one. Returns at once.
  virtual void setNetworkPathAvailable(bool available) = 0;
  virtual boost::asio::awaitable<void> sendSignal(std::string to, std::string sessionID, std::string kind,
                                                  Bytes data) = 0;
};

// Who this computer is to the signaling service.
struct RemoteSignalingLogin {
  platform::WssEndpoint endpoint;
  VeltranoIdentity identity;
  std::string deviceID;
  std::string deviceName;
  std::string role;
};

using RemoteSignalingFactory =
    std::function<std::shared_ptr<RemoteSignaling>(RemoteSignalingLogin login, SignalingClient::Callbacks callbacks)>;

// Makes real signaling clients with these WebSocket options (trust store, time-outs).
RemoteSignalingFactory signalingClientFactory(platform::WebSocketOptions options = {});

}  // namespace veltrano
