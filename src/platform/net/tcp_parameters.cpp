#include "platform/net/tcp_parameters.hpp"

#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/ip.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

namespace veltrano::platform {

namespace {
void setIntOption(int fd, int level, int name, int value) {
  (void)::setsockopt(fd, level, name, &value, sizeof value);
}
}  // namespace

void keepFromChildProcesses(int fd) {
  const int flags = ::fcntl(fd, F_GETFD);
  if (flags >= 0) ::fcntl(fd, F_SETFD, flags | FD_CLOEXEC);
}

void applyTcpParameters(boost::asio::ip::tcp::socket& socket, const TcpParameters& parameters) {
  if (!socket.is_open()) return;
  const int fd = socket.native_handle();
  keepFromChildProcesses(fd);
  boost::system::error_code ec;
  socket.set_option(boost::asio::ip::tcp::no_delay(parameters.noDelay), ec);
  socket.set_option(boost::asio::socket_base::keep_alive(parameters.enableKeepalive), ec);
  if (parameters.enableKeepalive) {
    if (parameters.keepaliveIdle.count() > 0)
      setIntOption(fd, IPPROTO_TCP, TCP_KEEPIDLE, static_cast<int>(parameters.keepaliveIdle.count()));
    if (parameters.keepaliveInterval.count() > 0)
      setIntOption(fd, IPPROTO_TCP, TCP_KEEPINTVL, static_cast<int>(parameters.keepaliveInterval.count()));
    if (parameters.keepaliveCount > 0) setIntOption(fd, IPPROTO_TCP, TCP_KEEPCNT, parameters.keepaliveCount);
  }
  const int tos = trafficClassByte(parameters.serviceClass);
  auto endpoint = socket.local_endpoint(ec);
  if (ec) return;
  if (endpoint.address().is_v6()) {
    setIntOption(fd, IPPROTO_IPV6, IPV6_TCLASS, tos);
    // A dual-stack socket talking to an IPv4 peer sends IPv4 packets, which take their TOS from IP_TOS.
    setIntOption(fd, IPPROTO_IP, IP_TOS, tos);
  } else {
    setIntOption(fd, IPPROTO_IP, IP_TOS, tos);
  }
}

}  // namespace veltrano::platform
