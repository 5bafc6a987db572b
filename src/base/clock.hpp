#pragma once
// Time as the host's tasks see it: an injectable clock with cancellable sleeps, and a virtual clock for tests.
#include <boost/asio/awaitable.hpp>

#include <chrono>
#include <functional>
#include <mutex>
#include <vector>

#include "base/continuation.hpp"
#include "base/task.hpp"

namespace veltrano {

class Clock {
 public:
  using Duration = std::chrono::steady_clock::duration;
  using TimePoint = std::chrono::steady_clock::time_point;

  virtual ~Clock() = default;
  virtual TimePoint now() const = 0;
  // Waits until `deadline` on the calling coroutine's executor. Throws CancellationError when `token` (which may
  // be null) is cancelled before or during the wait.
  virtual asio::awaitable<void> sleepUntil(TaskToken token, TimePoint deadline) = 0;
};

// The real monotonic clock. It stops while the computer sleeps.
Clock& systemClock();

// The monotonic clock that also counts the time the computer sleeps (CLOCK_BOOTTIME), for deadlines that must
// pass during a suspend instead of starting over after it. Its time points compare only with its own.
Clock& bootClock();

asio::awaitable<void> sleepFor(TaskToken token, Clock& clock, Clock::Duration duration);

// A clock that moves only when told. Due sleeps wake in deadline order (ties in the order they began), and the
// `drain` callback runs after each wake so that the woken work settles before the next one.
class VirtualClock : public Clock {
 public:
  explicit VirtualClock(std::function<void()> drain = {});
  TimePoint now() const override;
  asio::awaitable<void> sleepUntil(TaskToken token, TimePoint deadline) override;

  void advance(Duration by);
  std::size_t sleeperCount() const;

 private:
  struct Sleeper {
    TimePoint deadline;
    std::uint64_t order;
    Continuation<> wake;
  };
  bool wakeNextDue(TimePoint limit);

  std::function<void()> drain_;
  mutable std::mutex mutex_;
  TimePoint now_;
  std::uint64_t nextOrder_ = 0;
  std::vector<Sleeper> sleepers_;
};

}  // namespace veltrano
