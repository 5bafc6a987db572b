#pragma once
// Hopping onto an actor's executor, and serialising operations that must not interleave across co_await.
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>

#include <deque>
#include <mutex>

#include "base/continuation.hpp"
#include "base/executors.hpp"

namespace veltrano {

// Runs `operation` on `executor` and resumes the caller on its own executor with the result.
// (`co_await post(strand)` does not move a coroutine; this does.)
template <class Executor, class T>
asio::awaitable<T> runOn(const Executor& executor, asio::awaitable<T> operation) {
  co_return co_await asio::co_spawn(executor, std::move(operation), asio::use_awaitable);
}

// True when the calling coroutine runs on `strand`, so that every one of its resumptions is serialised there.
// An operation callable from anywhere starts with `if (!co_await isRunningOn(strand)) co_return co_await
// runOn(strand, op(...));` and is then one entry point for callers on the strand and elsewhere.
inline asio::awaitable<bool> isRunningOn(const Strand& strand) {
  const asio::any_io_executor current = co_await asio::this_coro::executor;
  const Strand* running = current.target<Strand>();
  co_return running != nullptr && *running == strand;
}

// An asynchronous mutex: operations that hold it run one at a time even though the actor is re-entrant at
// every co_await. FIFO.
class AsyncMutex {
 public:
  class Guard {
   public:
    explicit Guard(AsyncMutex* m) : mutex_(m) {}
    Guard(Guard&& o) noexcept : mutex_(std::exchange(o.mutex_, nullptr)) {}
    Guard(const Guard&) = delete;
    Guard& operator=(const Guard&) = delete;
    Guard& operator=(Guard&&) = delete;
    ~Guard() {
      if (mutex_) mutex_->unlock();
    }

   private:
    AsyncMutex* mutex_;
  };

  asio::awaitable<Guard> lock() {
    Continuation<> turn;
    {
      std::lock_guard l(mutex_);
      if (!locked_) {
        locked_ = true;
        co_return Guard(this);
      }
      waiters_.push_back(turn);
    }
    co_await turn.wait();
    co_return Guard(this);
  }

 private:
  void unlock() {
    Continuation<> next;
    {
      std::lock_guard l(mutex_);
      if (waiters_.empty()) {
        locked_ = false;
        return;
      }
      next = waiters_.front();
      waiters_.pop_front();
    }
    next.resume();  // ownership passes straight to the next waiter
  }

  std::mutex mutex_;
  bool locked_ = false;
  std::deque<Continuation<>> waiters_;
};

}  // namespace veltrano
