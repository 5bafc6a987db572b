#pragma once
// The TCP options a listener gives every connection it accepts, or a client connection uses.
#include <boost/asio/ip/tcp.hpp>

#include <chrono>

#include "platform/net/service_class.hpp"

namespace veltrano::platform {

struct TcpParameters {
  bool noDelay = false;
  bool enableKeepalive = false;
  std::chrono::seconds keepaliveIdle{0};      // 0 leaves the system default
  std::chrono::seconds keepaliveInterval{0};  // 0 leaves the system default
  int keepaliveCount = 0;                     // 0 leaves the system default
  ServiceClass serviceClass = ServiceClass::bestEffort;
};

// Sets the options on an open socket. Failures are ignored: each option only tunes a working connection.
// Also keeps the socket from programs the host starts (a browser opened from the window would otherwise hold
// the host's ports after it quits).
void applyTcpParameters(boost::asio::ip::tcp::socket& socket, const TcpParameters& parameters);

// Marks a descriptor close-on-exec.
void keepFromChildProcesses(int fd);

}  // namespace veltrano::platform
