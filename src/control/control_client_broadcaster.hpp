#pragma once
// What display selection needs of the control server: one message to every authenticated local control
// client.
#include <boost/asio/awaitable.hpp>

#include "base/json.hpp"

namespace veltrano {

class ControlClientBroadcaster {
 public:
  virtual ~ControlClientBroadcaster() = default;
  // Sends `message` to every authenticated local control client (on the server's own executor); completes
  // on the caller's executor once every send has been handed to its connection.
  virtual boost::asio::awaitable<void> broadcast(json::Json message) = 0;
};

}  // namespace veltrano
