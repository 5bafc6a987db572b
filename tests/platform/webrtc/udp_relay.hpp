#pragma once
// A UDP relay on 127.0.0.1 that stands between two peers of one process, so that a test can cut their path
// without root: each relayed address gets a front socket the other peer sends to, and one back socket per sender
// towards the real address (replies go out through the front again). While cut, everything is dropped; while
// muted, everything but STUN (so ICE's own checks still pass, but no DTLS record).
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <thread>
#include <tuple>
#include <vector>

namespace veltrano::webrtc::testing {

class UdpRelay {
 public:
  UdpRelay() {
    if (::pipe(wake_.data()) != 0) throw std::runtime_error("pipe");
    thread_ = std::thread([this] { run(); });
  }
  ~UdpRelay() {
    stopping_ = true;
    const char byte = 0;
    (void)::write(wake_[1], &byte, 1);
    thread_.join();
    for (const int fd : wake_) ::close(fd);
    for (auto& link : links_) {
      ::close(link->front);
      for (auto& [client, back] : link->backs) ::close(back);
    }
  }
  UdpRelay(const UdpRelay&) = delete;
  UdpRelay& operator=(const UdpRelay&) = delete;

  // The port on 127.0.0.1 that reaches 127.0.0.1:`port` through the relay.
  std::uint16_t frontFor(std::uint16_t port) {
    std::lock_guard lock(mutex_);
    for (const auto& link : links_) {
      if (link->target == port) return link->frontPort;
    }
    auto link = std::make_unique<Link>();
    link->target = port;
    link->front = boundSocket(&link->frontPort);
    links_.push_back(std::move(link));
    const char byte = 0;
    (void)::write(wake_[1], &byte, 1);
    return links_.back()->frontPort;
  }

  void cut(bool on) { cut_ = on; }
  void mute(bool on) { mute_ = on; }

  // When the relay last passed on a DTLS record (what a mute holds back) to 127.0.0.1:`port`.
  std::optional<std::chrono::steady_clock::time_point> lastCarriedTo(std::uint16_t port) {
    std::lock_guard lock(carriedMutex_);
    const auto found = lastCarried_.find(port);
    if (found == lastCarried_.end()) return std::nullopt;
    return found->second;
  }

 private:
  struct Link {
    std::uint16_t target = 0;
    int front = -1;
    std::uint16_t frontPort = 0;
    std::map<std::uint16_t, int> backs;  // sender's port on 127.0.0.1 -> socket towards the target
  };

  static sockaddr_in loopback(std::uint16_t port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    return address;
  }

  static int boundSocket(std::uint16_t* port) {
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in address = loopback(0);
    socklen_t length = sizeof address;
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
      throw std::runtime_error("relay socket");
    }
    *port = ntohs(address.sin_port);
    return fd;
  }

  void run() {
    std::array<std::uint8_t, 65536> buffer{};
    while (!stopping_) {
      // (socket, link, client port or 0 for a front socket)
      std::vector<std::tuple<int, Link*, std::uint16_t>> sockets;
      {
        std::lock_guard lock(mutex_);
        for (auto& link : links_) {
          sockets.emplace_back(link->front, link.get(), 0);
          for (auto& [client, back] : link->backs) sockets.emplace_back(back, link.get(), client);
        }
      }
      std::vector<pollfd> polled{{wake_[0], POLLIN, 0}};
      for (const auto& entry : sockets) polled.push_back({std::get<0>(entry), POLLIN, 0});
      if (::poll(polled.data(), polled.size(), -1) <= 0) continue;
      if (polled[0].revents & POLLIN) (void)::read(wake_[0], buffer.data(), buffer.size());
      for (std::size_t i = 1; i < polled.size(); ++i) {
        if (!(polled[i].revents & POLLIN)) continue;
        const auto [fd, link, client] = sockets[i - 1];
        sockaddr_in from{};
        socklen_t length = sizeof from;
        const auto size = ::recvfrom(fd, buffer.data(), buffer.size(), 0, reinterpret_cast<sockaddr*>(&from), &length);
        // Only the peers' loopback sockets are relayed; a sender elsewhere could not be answered by port alone.
        if (size < 0 || cut_ || from.sin_addr.s_addr != htonl(INADDR_LOOPBACK)) continue;
        const bool dtls = size > 0 && buffer[0] >= 20 && buffer[0] <= 63;
        if (mute_ && dtls) continue;
        const std::uint16_t to = client == 0 ? link->target : client;
        if (dtls) {
          // Stamped before it leaves: whoever receives it does so later.
          std::lock_guard lock(carriedMutex_);
          lastCarried_[to] = std::chrono::steady_clock::now();
        }
        if (client == 0) {
          const std::uint16_t sender = ntohs(from.sin_port);
          int& back = link->backs[sender];
          if (back == 0) {
            std::uint16_t unused = 0;
            back = boundSocket(&unused);
          }
          const auto address = loopback(to);
          ::sendto(back, buffer.data(), size, 0, reinterpret_cast<const sockaddr*>(&address), sizeof address);
        } else {
          const auto address = loopback(to);
          ::sendto(link->front, buffer.data(), size, 0, reinterpret_cast<const sockaddr*>(&address), sizeof address);
        }
      }
    }
  }

  std::mutex mutex_;
  std::vector<std::unique_ptr<Link>> links_;
  std::array<int, 2> wake_{-1, -1};
  std::atomic<bool> cut_ = false;
  std::atomic<bool> mute_ = false;
  std::atomic<bool> stopping_ = false;
  std::mutex carriedMutex_;
  std::map<std::uint16_t, std::chrono::steady_clock::time_point> lastCarried_;
  std::thread thread_;
};

}  // namespace veltrano::webrtc::testing
