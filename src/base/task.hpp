#pragma once
// Tasks: coroutines with a handle that can be cancelled and joined, and an identity.
// Cancellation is cooperative: it sets a flag that the task's code checks, and wakes the task's sleeps and
// other cancellable waits. It never aborts a socket write half-way.
#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/awaitable.hpp>
#include <boost/asio/co_spawn.hpp>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <exception>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <vector>

#include "base/continuation.hpp"

namespace veltrano {

namespace asio = boost::asio;

// Thrown by cancellable waits once the task is cancelled.
struct CancellationError : std::runtime_error {
  CancellationError() : std::runtime_error("cancelled") {}
};

// The state a task's body sees: its identity and its cancellation flag.
class TaskContext {
 public:
  TaskContext();
  std::uint64_t id() const { return id_; }
  bool isCancelled() const { return cancelled_.load(std::memory_order_acquire); }
  void checkCancellation() const {
    if (isCancelled()) throw CancellationError();
  }
  void cancel();

  // Registers a hook run once when the task is cancelled (at once if it already is); returns a key for removal.
  std::uint64_t onCancel(std::function<void()> hook);
  void removeCancelHook(std::uint64_t key);

 private:
  friend class Task;
  std::uint64_t id_;
  std::atomic<bool> cancelled_{false};
  std::mutex mutex_;
  std::uint64_t nextHook_ = 0;
  std::map<std::uint64_t, std::function<void()>> hooks_;
  // Completion.
  bool finished_ = false;
  std::exception_ptr error_;
  std::vector<Continuation<>> joiners_;
  std::vector<std::function<void()>> finishCallbacks_;
};

using TaskToken = std::shared_ptr<TaskContext>;

// A running or finished task. Copies share the task.
class Task {
 public:
  using Body = std::function<asio::awaitable<void>(TaskToken)>;

  Task() = default;
  // Starts `body` on `executor`. An exception other than CancellationError that escapes the body is reported
  // through the unhandled-error reporter and kept for error().
  static Task spawn(const asio::any_io_executor& executor, Body body);

  explicit operator bool() const { return static_cast<bool>(context_); }
  std::uint64_t id() const { return context_ ? context_->id() : 0; }
  const TaskToken& token() const { return context_; }
  void cancel() const {
    if (context_) context_->cancel();
  }
  bool isCancelled() const { return context_ && context_->isCancelled(); }
  bool isFinished() const;
  std::exception_ptr error() const;

  // Waits until the task has finished (whatever its outcome). Returns at once for an empty handle.
  asio::awaitable<void> join() const;
  // For threads that are not coroutines (shutdown paths): waits up to `timeout`; true when finished.
  bool joinBlocking(std::chrono::milliseconds timeout) const;

 private:
  static void finish(const TaskToken& context, std::exception_ptr error);
  TaskToken context_;
};

}  // namespace veltrano
