#pragma once
// A name server on 127.0.0.1:53 of the calling thread's network namespace that reads every query and answers none,
// as one that has gone away. Needs root.
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <mutex>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>

namespace veltrano::testing {

class SilentNameServer {
 public:
  SilentNameServer() : socket_(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0)) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(53);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(socket_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
      ::close(socket_);
      throw std::runtime_error("cannot listen on 127.0.0.1:53");
    }
    reader_ = std::thread([this] {
      unsigned char packet[512];
      for (ssize_t size; (size = ::recv(socket_, packet, sizeof packet, 0)) > 0;) {
        // The question's name follows the 12-byte header as length-prefixed labels.
        std::string name;
        for (ssize_t at = 12; at < size && packet[at] != 0 && at + packet[at] < size; at += packet[at] + 1) {
          name.append(name.empty() ? "" : ".").append(reinterpret_cast<char*>(packet) + at + 1, packet[at]);
        }
        std::lock_guard lock(mutex_);
        names_.insert(name);
      }
    });
  }
  ~SilentNameServer() {
    ::shutdown(socket_, SHUT_RDWR);
    reader_.join();
    ::close(socket_);
  }
  SilentNameServer(const SilentNameServer&) = delete;
  SilentNameServer& operator=(const SilentNameServer&) = delete;

  bool asked(const std::string& name) {
    std::lock_guard lock(mutex_);
    return names_.count(name) > 0;
  }

 private:
  int socket_;
  std::mutex mutex_;
  std::set<std::string> names_;
  std::thread reader_;
};

}  // namespace veltrano::testing
