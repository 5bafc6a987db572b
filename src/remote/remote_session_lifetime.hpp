#pragma once
// Whether a remote session is still alive. Message handling and queued commands look at it before they act:
// once it is false, nothing more that the tablet sent is executed. It goes from true to false once.
// Any thread.
#include <atomic>

namespace veltrano {

class RemoteSessionLifetime {
 public:
  bool isActive() const { return active_.load(std::memory_order_acquire); }
  void deactivate() { active_.store(false, std::memory_order_release); }

 private:
  std::atomic<bool> active_{true};
};

}  // namespace veltrano
