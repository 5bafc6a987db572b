#include "platform/net/tcp_listener.hpp"
#include "base/thread_checks.hpp"

#include <boost/asio/ip/v6_only.hpp>
#include <boost/asio/post.hpp>

#include <cerrno>
#include <chrono>

namespace veltrano::platform {

namespace asio = boost::asio;
using boost::system::error_code;

namespace {

// Errors of one accept that leave the listening socket usable. Out of descriptors or memory: try again a
// little later. A connection that died before it was accepted: go on at once.
enum class AcceptErrorKind { retryLater, retryNow, fatal };

AcceptErrorKind classify(const error_code& error) {
  if (error.category() != boost::system::system_category()) return AcceptErrorKind::fatal;
  switch (error.value()) {
    case EMFILE:
    case ENFILE:
    case ENOBUFS:
    case ENOMEM:
      return AcceptErrorKind::retryLater;
    case ECONNABORTED:
    case EPROTO:
    case EPERM:
    case EINTR:
    case EAGAIN:
    case ENETDOWN:
    case ENOPROTOOPT:
    case EHOSTDOWN:
    case ENONET:
    case EHOSTUNREACH:
    case EOPNOTSUPP:
    case ENETUNREACH:
      return AcceptErrorKind::retryNow;
    default:
      return AcceptErrorKind::fatal;
  }
}

constexpr auto kAcceptRetryDelay = std::chrono::milliseconds(100);

}  // namespace

std::shared_ptr<TcpListener> TcpListener::create(std::uint16_t port, TcpParameters parameters) {
  return std::shared_ptr<TcpListener>(new TcpListener(port, parameters));
}

TcpListener::TcpListener(std::uint16_t port, TcpParameters parameters)
    : requestedPort_(port), parameters_(parameters) {}

void TcpListener::setStateHandler(StateHandler handler) {
  std::lock_guard lock(mutex_);
  stateHandler_ = std::move(handler);
}

void TcpListener::setNewConnectionHandler(NewConnectionHandler handler) {
  std::lock_guard lock(mutex_);
  newConnectionHandler_ = std::move(handler);
}

std::optional<std::uint16_t> TcpListener::port() const {
  auto port = boundPort_.load();
  if (port == 0) return std::nullopt;
  return port;
}

void TcpListener::start(const asio::any_io_executor& queue) {
  auto strand = asio::make_strand(queue);
  {
    std::lock_guard lock(mutex_);
    if (strand_) return;
    strand_ = strand;
    queue_ = queue;
  }
  auto self = shared_from_this();
  asio::post(strand, [self] { self->begin(); });
}

void TcpListener::begin() {
  assertOnStrand(*strand_);
  if (cancelRequested_) {
    finishCancel();
    return;
  }
  if (auto error = openAndListen()) {
    fail(error);
    return;
  }
  deliver(NetworkState::ready());
  acceptNext();
}

error_code TcpListener::openAndListen() {
  assertOnStrand(*strand_);
  error_code ec;
  acceptor_.emplace(*strand_);
  // Dual stack first: one IPv6 socket that also takes IPv4 connections as mapped addresses.
  acceptor_->open(asio::ip::tcp::v6(), ec);
  if (!ec) acceptor_->set_option(asio::ip::v6_only(false), ec);
  if (!ec) acceptor_->set_option(asio::socket_base::reuse_address(true), ec);
  if (!ec) acceptor_->bind(asio::ip::tcp::endpoint(asio::ip::address_v6::any(), requestedPort_), ec);
  const bool ipv6Unavailable = ec == asio::error::address_family_not_supported ||
                               ec == boost::system::errc::address_not_available || ec == asio::error::invalid_argument ||
                               ec == asio::error::operation_not_supported;
  if (ec && ipv6Unavailable) {
    error_code ignored;
    acceptor_->close(ignored);
    ec.clear();
    acceptor_->open(asio::ip::tcp::v4(), ec);
    if (!ec) acceptor_->set_option(asio::socket_base::reuse_address(true), ec);
    if (!ec) acceptor_->bind(asio::ip::tcp::endpoint(asio::ip::address_v4::any(), requestedPort_), ec);
  }
  if (!ec) keepFromChildProcesses(acceptor_->native_handle());
  if (!ec) acceptor_->listen(asio::socket_base::max_listen_connections, ec);
  if (!ec) {
    auto endpoint = acceptor_->local_endpoint(ec);
    if (!ec) boundPort_ = endpoint.port();
  }
  if (ec) closeAcceptor();
  return ec;
}

void TcpListener::acceptNext() {
  assertOnStrand(*strand_);
  if (ended_ || !acceptor_ || !acceptor_->is_open()) return;
  auto self = shared_from_this();
  acceptor_->async_accept(queue_, [self](error_code ec, asio::ip::tcp::socket socket) {
    if (self->ended_) return;  // a socket accepted meanwhile closes with `socket`
    if (ec) {
      switch (classify(ec)) {
        case AcceptErrorKind::retryNow:
          self->acceptNext();
          return;
        case AcceptErrorKind::retryLater:
          self->retryTimer_.emplace(*self->strand_, kAcceptRetryDelay);
          self->retryTimer_->async_wait([self](error_code waitError) {
            if (!waitError) self->acceptNext();
          });
          return;
        case AcceptErrorKind::fatal:
          if (ec != asio::error::operation_aborted) self->fail(ec);
          return;
      }
    }
    applyTcpParameters(socket, self->parameters_);
    auto connection = TcpConnection::adopt(std::move(socket));
    NewConnectionHandler handler;
    {
      std::lock_guard lock(self->mutex_);
      handler = self->newConnectionHandler_;
    }
    if (handler) {
      handler(std::move(connection));
    } else {
      connection->cancel();  // nobody takes it: close it
    }
    self->acceptNext();
  });
}

void TcpListener::fail(error_code error) {
  assertOnStrand(*strand_);
  if (ended_ || cancelRequested_) return;
  ended_ = true;
  closeAcceptor();
  deliver(NetworkState::failed(error));
}

void TcpListener::cancel() {
  if (cancelRequested_.exchange(true)) return;
  std::optional<asio::strand<asio::any_io_executor>> strand;
  {
    std::lock_guard lock(mutex_);
    strand = strand_;
  }
  // Not started yet: start() reports the cancellation.
  if (!strand) return;
  auto self = shared_from_this();
  asio::post(*strand, [self] { self->finishCancel(); });
}

void TcpListener::finishCancel() {
  assertOnStrand(*strand_);
  if (cancelled_) return;
  cancelled_ = true;
  ended_ = true;
  closeAcceptor();
  deliver(NetworkState::cancelled());
  std::lock_guard lock(mutex_);
  stateHandler_ = nullptr;
  newConnectionHandler_ = nullptr;
}

void TcpListener::closeAcceptor() {
  assertOnStrand(*strand_);
  if (retryTimer_) retryTimer_->cancel();
  if (acceptor_ && acceptor_->is_open()) {
    error_code ignored;
    acceptor_->close(ignored);
  }
}

void TcpListener::deliver(const NetworkState& state) {
  assertOnStrand(*strand_);
  StateHandler handler;
  {
    std::lock_guard lock(mutex_);
    handler = stateHandler_;
  }
  if (handler) handler(state);
}

}  // namespace veltrano::platform
