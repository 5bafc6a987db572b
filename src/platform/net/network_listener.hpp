#pragma once
// What a server needs of a listener: state and new-connection handlers, start on an executor, cancel.
// TcpListener is the real one; tests may script another.
#include <boost/asio/any_io_executor.hpp>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

#include "platform/net/network_state.hpp"
#include "platform/net/tcp_connection.hpp"

namespace veltrano::platform {

class NetworkListener {
 public:
  using StateHandler = std::function<void(const NetworkState&)>;
  // Receives each accepted connection, not yet started; the receiver starts or cancels it.
  using NewConnectionHandler = std::function<void(std::shared_ptr<TcpConnection>)>;

  virtual ~NetworkListener() = default;

  // Either handler may be replaced or cleared (nullptr) at any time, from any thread.
  virtual void setStateHandler(StateHandler handler) = 0;
  virtual void setNewConnectionHandler(NewConnectionHandler handler) = 0;
  // Handlers run on `queue` (one at a time, in order). States are never reported from inside start().
  virtual void start(const boost::asio::any_io_executor& queue) = 0;
  // Stops listening; reports cancelled exactly once (once started). Idempotent.
  virtual void cancel() = 0;
  // The bound port once ready.
  virtual std::optional<std::uint16_t> port() const = 0;
};

}  // namespace veltrano::platform
