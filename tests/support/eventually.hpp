#pragma once
// Polls a condition that other threads make true.
#include <chrono>
#include <functional>
#include <thread>

namespace veltrano::testing {

// True as soon as `condition` holds; false when it still does not after `timeout`.
inline bool eventually(const std::function<bool()>& condition,
                       std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

}  // namespace veltrano::testing
