// The one translation unit with Beast's WebSocket in it.
#include "platform/websocket/websocket_connection.hpp"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <algorithm>

#include "base/actor.hpp"
#include "platform/net/host_lookup.hpp"

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/redirect_error.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/asio/ssl/host_name_verification.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/ssl.hpp>
#include <boost/beast/websocket.hpp>
#include <boost/beast/websocket/ssl.hpp>

namespace veltrano::platform {

namespace beast = boost::beast;
namespace websocket = beast::websocket;
namespace ssl = asio::ssl;
using tcp = asio::ip::tcp;
using boost::system::error_code;

struct WebSocketConnectionState {
  WebSocketConnectionState(Strand strandIn, WssEndpoint endpointIn, WebSocketOptions optionsIn)
      : strand(std::move(strandIn)),
        endpoint(std::move(endpointIn)),
        options(std::move(optionsIn)),
        tls(ssl::context::tls_client),
        lookup(strand),
        ws(strand, tls) {}

  void dropSocket() {
    lookup.cancel();
    error_code ignored;
    beast::get_lowest_layer(ws).socket().close(ignored);
  }

  enum class Phase { idle, opening, open, closed };

  Strand strand;
  WssEndpoint endpoint;
  WebSocketOptions options;
  ssl::context tls;
  HostLookup lookup;
  websocket::stream<beast::ssl_stream<beast::tcp_stream>> ws;
  beast::flat_buffer readBuffer;
  // Sends, pings and the closing handshake are writes, and Beast allows one at a time.
  AsyncMutex writeLock;
  Phase phase = Phase::idle;
  bool closeRequested = false;
  bool timedOut = false;
};

namespace {

using StatePtr = std::shared_ptr<WebSocketConnectionState>;
using Phase = WebSocketConnectionState::Phase;

// Drops the socket when an operation outlives the request time-out. The timer's completion may already be queued
// when the operation ends, so the shared `finished` flag decides, not the timer's error code.
class Deadline {
 public:
  Deadline(const StatePtr& state, std::chrono::milliseconds timeout) : timer_(state->strand) {
    timer_.expires_after(timeout);
    timer_.async_wait([state, finished = finished_](error_code ec) {
      if (ec || *finished) return;
      state->timedOut = true;
      state->dropSocket();
    });
  }
  ~Deadline() {
    *finished_ = true;
    timer_.cancel();
  }
  Deadline(const Deadline&) = delete;
  Deadline& operator=(const Deadline&) = delete;

 private:
  std::shared_ptr<bool> finished_ = std::make_shared<bool>(false);
  asio::steady_timer timer_;
};

[[noreturn]] void fail(WebSocketConnectionState& state, error_code ec, WebSocketError::Kind kind,
                       const char* step) {
  using Kind = WebSocketError::Kind;
  if (state.timedOut) throw WebSocketError(Kind::timedOut, step);
  if (state.closeRequested) throw WebSocketError(Kind::closed, step);
  if (ec == websocket::error::closed) {
    const auto& reason = state.ws.reason();
    throw WebSocketError(Kind::closed, "code " + std::to_string(reason.code) +
                                          (reason.reason.empty() ? "" : " " + std::string(reason.reason.data(), reason.reason.size())));
  }
  throw WebSocketError(kind, std::string(step) + ": " + ec.message());
}

void checkUsable(const WebSocketConnectionState& state) {
  if (state.closeRequested || state.phase != Phase::open) {
    throw WebSocketError(WebSocketError::Kind::closed, "");
  }
}

// Keep-alive probes start after a third of the time-out, and TCP_USER_TIMEOUT ends the connection once nothing,
// not even a probe's acknowledgement, has come back for the whole time-out. Without it a dead path is noticed only
// when TCP's retransmissions give up, many minutes later.
void enableDeadPathDetection(tcp::socket& socket, std::chrono::milliseconds timeout) {
  const int fd = socket.native_handle();
  const int enabled = 1;
  const int seconds = static_cast<int>(std::chrono::duration_cast<std::chrono::seconds>(timeout).count());
  const int idle = std::max(1, seconds / 3);
  const int interval = std::max(1, seconds / 6);
  const unsigned int userTimeout = static_cast<unsigned int>(timeout.count());
  ::setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &enabled, sizeof enabled);
  ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle);
  ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof interval);
  ::setsockopt(fd, IPPROTO_TCP, TCP_USER_TIMEOUT, &userTimeout, sizeof userTimeout);
}

void configureTrust(WebSocketConnectionState& state) {
  error_code ec;
  if (state.options.trustedCertificatesPem.empty()) {
    state.tls.set_default_verify_paths(ec);
  } else {
    state.tls.add_certificate_authority(asio::buffer(state.options.trustedCertificatesPem), ec);
  }
  if (ec) throw WebSocketError(WebSocketError::Kind::tlsFailed, "trust store: " + ec.message());
}

asio::awaitable<void> runClosingHandshake(StatePtr state, std::uint16_t code, std::string reason) {
  auto turn = co_await state->writeLock.lock();
  if (state->phase == Phase::open) {
    websocket::close_reason closeReason(static_cast<websocket::close_code>(code), reason);
    error_code ec;
    auto token = asio::redirect_error(asio::use_awaitable, ec);
    // Bounded by the stream's handshake time-out.
    co_await state->ws.async_close(closeReason, token);
  }
  state->phase = Phase::closed;
  state->dropSocket();
}

}  // namespace

WebSocketConnection::WebSocketConnection(Strand strand, WssEndpoint endpoint, WebSocketOptions options)
    : state_(std::make_shared<WebSocketConnectionState>(std::move(strand), std::move(endpoint), std::move(options))) {}

WebSocketConnection::~WebSocketConnection() {
  if (state_->closeRequested) return;
  asio::post(state_->strand, [state = state_] {
    state->closeRequested = true;
    state->phase = Phase::closed;
    state->dropSocket();
  });
}

asio::awaitable<void> WebSocketConnection::open() {
  using Kind = WebSocketError::Kind;
  StatePtr state = state_;
  if (state->closeRequested) throw WebSocketError(Kind::closed, "");
  if (state->phase != Phase::idle) throw WebSocketError(Kind::failed, "opened twice");
  state->phase = Phase::opening;
  configureTrust(*state);
  Deadline deadline(state, state->options.requestTimeout);
  const WssEndpoint& endpoint = state->endpoint;

  error_code ec;
  auto token = asio::redirect_error(asio::use_awaitable, ec);
  auto results = co_await state->lookup.asyncLookup(endpoint.host, endpoint.port, token);
  if (ec || state->closeRequested || state->timedOut) fail(*state, ec, Kind::resolveFailed, "resolve");

  co_await beast::get_lowest_layer(state->ws).async_connect(results, token);
  if (ec || state->closeRequested || state->timedOut) fail(*state, ec, Kind::connectFailed, "connect");
  enableDeadPathDetection(beast::get_lowest_layer(state->ws).socket(), state->options.deadPathTimeout);

  auto& tlsStream = state->ws.next_layer();
  // SNI carries names only, never addresses.
  if (!isIpLiteral(endpoint.host)) SSL_set_tlsext_host_name(tlsStream.native_handle(), endpoint.host.c_str());
  // The stream took its verify mode from the context when it was made, before the trust store was set up.
  tlsStream.set_verify_mode(ssl::verify_peer);
  tlsStream.set_verify_callback(ssl::host_name_verification(endpoint.host));
  co_await tlsStream.async_handshake(ssl::stream_base::client, token);
  if (ec || state->closeRequested || state->timedOut) fail(*state, ec, Kind::tlsFailed, "tls");

  websocket::stream_base::timeout timeouts{};
  timeouts.handshake_timeout = state->options.requestTimeout;  // also bounds the closing handshake
  timeouts.idle_timeout = websocket::stream_base::none();
  timeouts.keep_alive_pings = false;
  state->ws.set_option(timeouts);
  state->ws.read_message_max(0);  // no limit of Beast's own: receive() counts
  state->ws.binary(true);
  const std::string host = hostHeaderValue(endpoint);
  co_await state->ws.async_handshake(host, endpoint.path, token);
  if (ec || state->closeRequested || state->timedOut) fail(*state, ec, Kind::upgradeFailed, "upgrade");
  state->phase = Phase::open;
}

asio::awaitable<WebSocketMessage> WebSocketConnection::receive() {
  StatePtr state = state_;
  checkUsable(*state);
  state->readBuffer.clear();
  error_code ec;
  auto token = asio::redirect_error(asio::use_awaitable, ec);
  // Read in pieces and count ourselves: when Beast refuses an oversized message it starts a closing handshake
  // whose own errors then hide the reason.
  constexpr std::size_t piece = 64 * 1024;
  do {
    co_await state->ws.async_read_some(state->readBuffer, piece, token);
    if (ec) fail(*state, ec, WebSocketError::Kind::failed, "receive");
    if (state->readBuffer.size() > state->options.maximumMessageSize) {
      state->closeRequested = true;
      state->phase = Phase::closed;
      state->dropSocket();
      throw WebSocketError(WebSocketError::Kind::messageTooLarge, "over " +
                                                                      std::to_string(state->options.maximumMessageSize) +
                                                                      " bytes");
    }
  } while (!state->ws.is_message_done());
  WebSocketMessage message;
  message.kind = state->ws.got_text() ? WebSocketMessage::Kind::text : WebSocketMessage::Kind::binary;
  const auto data = state->readBuffer.cdata();
  const auto* begin = static_cast<const std::uint8_t*>(data.data());
  message.data.assign(begin, begin + data.size());
  state->readBuffer.clear();
  co_return message;
}

asio::awaitable<void> WebSocketConnection::send(Bytes message) {
  StatePtr state = state_;
  auto turn = co_await state->writeLock.lock();
  checkUsable(*state);
  Deadline deadline(state, state->options.requestTimeout);
  error_code ec;
  auto token = asio::redirect_error(asio::use_awaitable, ec);
  const auto buffer = asio::buffer(message);
  co_await state->ws.async_write(buffer, token);
  if (ec || state->timedOut) fail(*state, ec, WebSocketError::Kind::failed, "send");
}

asio::awaitable<void> WebSocketConnection::ping() {
  StatePtr state = state_;
  auto turn = co_await state->writeLock.lock();
  checkUsable(*state);
  Deadline deadline(state, state->options.requestTimeout);
  error_code ec;
  auto token = asio::redirect_error(asio::use_awaitable, ec);
  const websocket::ping_data payload;
  co_await state->ws.async_ping(payload, token);
  if (ec || state->timedOut) fail(*state, ec, WebSocketError::Kind::failed, "ping");
}

void WebSocketConnection::close(std::uint16_t code, std::string reason) {
  StatePtr state = state_;
  if (state->closeRequested) return;
  state->closeRequested = true;
  if (state->phase != Phase::open) {
    state->phase = Phase::closed;
    state->dropSocket();
    return;
  }
  asio::co_spawn(state->strand, runClosingHandshake(state, code, std::move(reason)), [](std::exception_ptr) {
    // Every socket error is handled inside; nothing else can fail there.
  });
}

void WebSocketConnection::abort() {
  state_->closeRequested = true;
  state_->phase = Phase::closed;
  state_->dropSocket();
}

bool WebSocketConnection::isClosed() const { return state_->closeRequested || state_->phase == Phase::closed; }

}  // namespace veltrano::platform
