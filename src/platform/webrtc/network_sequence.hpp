#pragma once
// The check behind "network thread only": the first checked call binds an object to the thread it runs on, and
// every later checked call must come from that thread. Objects driven by a test on its own thread bind to that
// thread instead. Active with VELTRANO_THREAD_CHECKS; free otherwise.
#include <atomic>
#include <thread>

#include "base/thread_checks.hpp"

namespace veltrano::webrtc {

class NetworkSequence {
 public:
  void check(const char* file = __builtin_FILE(), int line = __builtin_LINE(),
             const char* function = __builtin_FUNCTION()) const {
#ifdef VELTRANO_THREAD_CHECKS
    const auto self = std::this_thread::get_id();
    std::thread::id bound{};
    if (!owner_.compare_exchange_strong(bound, self) && bound != self) {
      thread_checks::fail("its network thread", {file, static_cast<unsigned>(line), function});
    }
#else
    (void)file;
    (void)line;
    (void)function;
#endif
  }

 private:
#ifdef VELTRANO_THREAD_CHECKS
  mutable std::atomic<std::thread::id> owner_{};
#endif
};

}  // namespace veltrano::webrtc
