#include "platform/net/netlink_path_monitor.hpp"

#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <boost/asio/post.hpp>
#include <cerrno>

#include "platform/net/network_path_snapshot.hpp"
#include "platform/net/routing_tables.hpp"

namespace veltrano::platform {
namespace {

int openEventSocket() {
  const int fd = socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC | SOCK_NONBLOCK, NETLINK_ROUTE);
  if (fd < 0) return -1;
  sockaddr_nl local{};
  local.nl_family = AF_NETLINK;
  local.nl_groups = RTMGRP_LINK | RTMGRP_IPV4_IFADDR | RTMGRP_IPV6_IFADDR | RTMGRP_IPV4_ROUTE | RTMGRP_IPV6_ROUTE;
  if (bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

}  // namespace

std::shared_ptr<NetlinkPathMonitor> NetlinkPathMonitor::create(Timing timing) {
  return std::shared_ptr<NetlinkPathMonitor>(new NetlinkPathMonitor(timing));
}

NetlinkPathMonitor::NetlinkPathMonitor(Timing timing) : timing_(timing) {}

NetlinkPathMonitor::~NetlinkPathMonitor() {
  if (dumpSocket_ >= 0) ::close(dumpSocket_);
}

void NetlinkPathMonitor::setPathUpdateHandler(PathUpdateHandler handler) {
  std::lock_guard lock(mutex_);
  handler_ = std::move(handler);
}

void NetlinkPathMonitor::start(const boost::asio::any_io_executor& queue) {
  std::lock_guard lock(mutex_);
  if (strand_ || cancelled_) return;
  strand_.emplace(boost::asio::make_strand(queue));
  const int events = openEventSocket();
  std::error_code error;
  const int dumps = openRoutingSocket(error);
  if (events < 0 || dumps < 0) {
    if (events >= 0) ::close(events);
    // The path cannot be known: it is reported once as usable, so that nothing waits for it.
    NetworkPath unknown;
    unknown.status = NetworkPath::Status::satisfied;
    boost::asio::post(*strand_, [self = shared_from_this(), unknown] { self->deliver(unknown); });
    return;
  }
  events_.emplace(*strand_, events);
  dumpSocket_ = dumps;
  settleTimer_.emplace(*strand_);
  boost::asio::post(*strand_, [self = shared_from_this()] {
    if (self->cancelled_) return;
    self->readAndReport(true);
    self->waitForEvents();
  });
}

void NetlinkPathMonitor::cancel() {
  std::lock_guard lock(mutex_);
  if (cancelled_.exchange(true)) return;
  handler_ = nullptr;
  if (!strand_) return;
  // The strand's pending waits hold the monitor; closing on the strand lets them end.
  boost::asio::post(*strand_, [self = shared_from_this()] { self->close(); });
}

void NetlinkPathMonitor::waitForEvents() {
  if (cancelled_ || !events_) return;
  events_->async_wait(boost::asio::posix::descriptor_base::wait_read,
                      [self = shared_from_this()](const boost::system::error_code& error) {
                        if (error || self->cancelled_) return;
                        if (self->drainEvents()) self->extendBurst();
                        self->waitForEvents();
                      });
}

// Reads every queued event; the tables are read again anyway, so only their arrival matters.
bool NetlinkPathMonitor::drainEvents() {
  std::array<char, 16384> buffer;
  bool any = false;
  for (;;) {
    const ssize_t length = recv(events_->native_handle(), buffer.data(), buffer.size(), MSG_DONTWAIT);
    if (length > 0) {
      any = true;
      continue;
    }
    if (length < 0 && errno == EINTR) continue;
    // ENOBUFS: events were lost while the queue was full, so something changed.
    if (length < 0 && errno == ENOBUFS) {
      any = true;
      continue;
    }
    return any;
  }
}

void NetlinkPathMonitor::extendBurst() {
  const auto now = std::chrono::steady_clock::now();
  if (!burstStart_) burstStart_ = now;
  const auto deadline = std::min(now + timing_.settle, *burstStart_ + timing_.longestBurst);
  // A wait whose completion is already queued is not aborted by re-arming: the generation tells.
  const auto generation = ++settleGeneration_;
  settleTimer_->expires_at(deadline);
  settleTimer_->async_wait([self = shared_from_this(), generation](const boost::system::error_code& error) {
    if (error || self->cancelled_ || generation != self->settleGeneration_) return;
    self->burstStart_.reset();
    self->readAndReport(false);
  });
}

void NetlinkPathMonitor::readAndReport(bool always) {
  NetworkPath path;
  try {
    path = networkPathFrom(readRoutingTables(dumpSocket_));
  } catch (const std::system_error&) {
    return;  // the next event reads again
  }
  if (!always && lastReported_ == path) return;
  lastReported_ = path;
  deliver(path);
}

void NetlinkPathMonitor::deliver(const NetworkPath& path) {
  PathUpdateHandler handler;
  {
    std::lock_guard lock(mutex_);
    if (cancelled_) return;
    handler = handler_;
  }
  // Called on a copy and without the lock, so that cancel() never waits for a handler: an update that got past
  // the check above may still finish after cancel() returned, but none starts.
  if (handler) handler(path);
}

void NetlinkPathMonitor::close() {
  ++settleGeneration_;
  if (settleTimer_) settleTimer_->cancel();
  if (events_) {
    boost::system::error_code ignored;
    events_->close(ignored);
  }
}

}  // namespace veltrano::platform
