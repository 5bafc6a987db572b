#pragma once
// The host's fixed ports (control 9090, audio, file, and the two test monitors' video ports), shared by the tests
// and benchmarks of the whole host. Processes that use them take turns: ctest's RESOURCE_LOCK orders the cases of
// one run, the file lock below orders runs on one machine.
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <cstdint>
#include <vector>

namespace veltrano::testing {

inline const std::vector<std::uint16_t> kHostPorts = {9090, 9092, 9093, 9100, 9101};

inline bool acceptsConnections(std::uint16_t port) {
  boost::asio::io_context context;
  boost::asio::ip::tcp::socket socket(context);
  boost::system::error_code error;
  socket.connect({boost::asio::ip::make_address("127.0.0.1"), port}, error);
  return !error;
}

class FixedPortsLock {
 public:
  FixedPortsLock() : fd_(::open("/tmp/veltrano-test-fixed-ports", O_RDWR | O_CREAT | O_CLOEXEC, 0666)) {
    if (fd_ >= 0) ::flock(fd_, LOCK_EX);
  }
  ~FixedPortsLock() {
    if (fd_ >= 0) ::close(fd_);
  }
  FixedPortsLock(const FixedPortsLock&) = delete;
  FixedPortsLock& operator=(const FixedPortsLock&) = delete;

 private:
  int fd_;
};

}  // namespace veltrano::testing
