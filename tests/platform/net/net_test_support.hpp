#pragma once
// Small helpers for driving the TCP layer from a blocking test thread.
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/use_future.hpp>

#include <chrono>
#include <condition_variable>
#include <future>
#include <mutex>
#include <vector>

#include "base/executors.hpp"
#include "platform/net/network_state.hpp"

namespace veltrano::testing {

// Records reported states; waits for one to arrive.
class StateRecorder {
 public:
  void operator()(const platform::NetworkState& state) {
    std::lock_guard lock(mutex_);
    states_.push_back(state);
    changed_.notify_all();
  }
  auto handler() {
    return [this](const platform::NetworkState& state) { (*this)(state); };
  }
  bool waitFor(platform::NetworkState::Kind kind, std::chrono::milliseconds timeout = std::chrono::seconds(5)) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] {
      for (auto& s : states_)
        if (s.kind == kind) return true;
      return false;
    });
  }
  std::vector<platform::NetworkState::Kind> kinds() const {
    std::lock_guard lock(mutex_);
    std::vector<platform::NetworkState::Kind> kinds;
    for (auto& s : states_) kinds.push_back(s.kind);
    return kinds;
  }
  std::vector<platform::NetworkState> states() const {
    std::lock_guard lock(mutex_);
    return states_;
  }

 private:
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<platform::NetworkState> states_;
};

// Runs a coroutine on the shared I/O threads and blocks until it finishes, rethrowing its exception.
template <class T>
T runBlocking(boost::asio::awaitable<T> operation, std::chrono::seconds timeout = std::chrono::seconds(15)) {
  auto future = boost::asio::co_spawn(sharedIo().executor(), std::move(operation), boost::asio::use_future);
  if (future.wait_for(timeout) != std::future_status::ready) throw std::runtime_error("operation timed out");
  return future.get();
}

}  // namespace veltrano::testing
