#pragma once
// A WebSocket client over TLS. No Beast in this header.
//
// One connection belongs to one actor: it is created with that actor's strand, and every operation is awaited from
// coroutines running there. One receive may wait while sends, pings and the close queue up behind each other.
#include <boost/asio/awaitable.hpp>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "base/encoding.hpp"
#include "base/executors.hpp"
#include "platform/websocket/websocket_endpoint.hpp"
#include "platform/websocket/websocket_error.hpp"

namespace veltrano::platform {

namespace webSocketCloseCode {
inline constexpr std::uint16_t normalClosure = 1000;
inline constexpr std::uint16_t goingAway = 1001;
}  // namespace webSocketCloseCode

struct WebSocketOptions {
  // Bounds connecting (TCP, TLS and the upgrade together) and each send; a quiet connection never times out.
  std::chrono::milliseconds requestTimeout{15000};
  // A path that stops answering, TCP's keep-alive probes included, ends the connection after about this long; a
  // quiet path that still answers never does.
  std::chrono::milliseconds deadPathTimeout{30000};
  // Inbound messages above this size end the connection with `messageTooLarge`.
  std::size_t maximumMessageSize = 4 * 1024 * 1024;
  // PEM certificates trusted instead of the system's trust store (tests); empty: the system's store.
  std::string trustedCertificatesPem;
};

struct WebSocketConnectionState;

struct WebSocketMessage {
  enum class Kind { text, binary };
  Kind kind = Kind::binary;
  Bytes data;
};

class WebSocketConnection {
 public:
  WebSocketConnection(Strand strand, WssEndpoint endpoint, WebSocketOptions options);
  // Closes the socket without a closing handshake if close() was never called.
  ~WebSocketConnection();
  WebSocketConnection(const WebSocketConnection&) = delete;
  WebSocketConnection& operator=(const WebSocketConnection&) = delete;

  // Resolves, connects, verifies the server's certificate and host name, and upgrades. Throws WebSocketError.
  asio::awaitable<void> open();
  // The next whole message. Throws WebSocketError; every failure ends the connection.
  asio::awaitable<WebSocketMessage> receive();
  // Sends one binary message once the sends before it are done. Throws WebSocketError.
  asio::awaitable<void> send(Bytes message);
  // Sends a ping control frame (its answer is handled inside). Throws WebSocketError.
  asio::awaitable<void> ping();

  // Ends the connection once: a closing handshake with `code` and `reason` when it is open, else the socket is
  // dropped. Later calls do nothing. Returns at once; waiting operations then fail with `closed`.
  void close(std::uint16_t code, std::string reason = {});
  // Ends the connection at once, also while a closing handshake waits for the server: the socket is dropped and
  // waiting operations fail with `closed`.
  void abort();
  bool isClosed() const;

 private:
  std::shared_ptr<WebSocketConnectionState> state_;
};

}  // namespace veltrano::platform
