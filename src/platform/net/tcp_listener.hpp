#pragma once
// A TCP listener on every local address (IPv6 with IPv4-mapped addresses, or IPv4 alone where IPv6 is off).
// start() binds and listens, then reports ready, or failed(error) when the port cannot be had; port 0 asks the
// system for a free port, which port() then reports. The address is reusable at once after a cancel, even while
// old connections linger in TIME_WAIT. Accepted sockets get the listener's TCP parameters. A port in use is a
// failure, not a wait, so that a server's start() does not hang; this listener never reports waiting. Errors of
// a single accept (out of descriptors, a connection reset before it was taken) are retried, never a failure.
//
// Handlers run on the executor given to start() (the shared I/O threads in the host): owners re-enter
// themselves through a new task that holds them weakly, never touching their state in the handler.
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/strand.hpp>

#include <atomic>
#include <mutex>

#include "platform/net/network_listener.hpp"
#include "platform/net/tcp_parameters.hpp"

namespace veltrano::platform {

class TcpListener final : public NetworkListener, public std::enable_shared_from_this<TcpListener> {
 public:
  static std::shared_ptr<TcpListener> create(std::uint16_t port, TcpParameters parameters);

  void setStateHandler(StateHandler handler) override;
  void setNewConnectionHandler(NewConnectionHandler handler) override;
  void start(const boost::asio::any_io_executor& queue) override;
  void cancel() override;
  std::optional<std::uint16_t> port() const override;

  const TcpParameters& parameters() const { return parameters_; }

 private:
  TcpListener(std::uint16_t port, TcpParameters parameters);

  // Strand only.
  void begin();
  boost::system::error_code openAndListen();
  void acceptNext();
  void fail(boost::system::error_code error);
  void finishCancel();
  void closeAcceptor();
  void deliver(const NetworkState& state);

  const std::uint16_t requestedPort_;
  const TcpParameters parameters_;

  std::mutex mutex_;  // guards strand_, queue_ and the handlers
  std::optional<boost::asio::strand<boost::asio::any_io_executor>> strand_;
  boost::asio::any_io_executor queue_;
  StateHandler stateHandler_;
  NewConnectionHandler newConnectionHandler_;
  std::atomic<bool> cancelRequested_{false};
  std::atomic<std::uint16_t> boundPort_{0};

  // Strand state.
  std::optional<boost::asio::ip::tcp::acceptor> acceptor_;
  std::optional<boost::asio::steady_timer> retryTimer_;
  bool ended_ = false;  // failed or cancelled: no more accepts
  bool cancelled_ = false;
};

}  // namespace veltrano::platform
