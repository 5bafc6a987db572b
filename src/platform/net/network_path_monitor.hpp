#pragma once
// What remote access needs of the system's network path: the current path soon after start, then each change.
// NetlinkPathMonitor is the real one; tests script another.
#include <boost/asio/any_io_executor.hpp>

#include <functional>

#include "platform/net/network_path.hpp"

namespace veltrano::platform {

class NetworkPathMonitor {
 public:
  using PathUpdateHandler = std::function<void(const NetworkPath&)>;

  virtual ~NetworkPathMonitor() = default;

  // Set before start(); may be cleared (nullptr) at any time, from any thread.
  virtual void setPathUpdateHandler(PathUpdateHandler handler) = 0;
  // The handler runs on `queue`, one update at a time, in order; never from inside start().
  virtual void start(const boost::asio::any_io_executor& queue) = 0;
  // Ends monitoring: once it returns no update starts. It does not wait for one already running, which may finish
  // afterwards, so the handler holds what it uses itself. Callable from the handler. Idempotent; a started
  // monitor lives until it is cancelled.
  virtual void cancel() = 0;
};

}  // namespace veltrano::platform
