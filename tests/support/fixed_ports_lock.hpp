#pragma once
// Held while a process uses the host's fixed ports (9090 and the rest): tests and benchmarks of the whole host
// on one machine take turns. ctest's RESOURCE_LOCK orders the cases of one run; this file lock orders runs.
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace veltrano::testing {

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
