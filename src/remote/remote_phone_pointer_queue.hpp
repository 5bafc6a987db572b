#pragma once
// The commands of one remote session (its phone pointer commands and every other one), run strictly one after
// another in arrival order, each to its end (including its hop to the main thread and its reply) before the next
// starts; and the phone pointer sessions the tablet has named, to be ended when the remote session goes away.
//
// Any thread. The lock is held only to change the pending list or the set; no operation runs under it, so
// enqueueing never waits for a running command. Nothing is ever cancelled: operations queued before the
// session ended still run and find it inactive.
#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/awaitable.hpp>

#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>

namespace veltrano {

class RemotePhonePointerQueue : public std::enable_shared_from_this<RemotePhonePointerQueue> {
 public:
  using Operation = std::function<boost::asio::awaitable<void>()>;

  // Commands waiting beyond this many (the running one not counted) make room by dropping the oldest droppable
  // one; by then it would be stale anyway. Commands that are not droppable are always kept.
  static constexpr std::size_t pendingLimit = 1024;

  // Operations run on `executor`, one at a time.
  static std::shared_ptr<RemotePhonePointerQueue> create(boost::asio::any_io_executor executor);

  // Returns at once. `droppable` marks a command the input handler would drop when stale.
  void enqueue(Operation operation, bool droppable);
  void insertPointerSession(const std::string& pointerSession);
  // A copy; the set itself only grows.
  std::set<std::string> pointerSessionSnapshot() const;

  // Nothing waits and nothing runs. Only meaningful to the one caller that enqueues the commands: nothing it
  // enqueued before is still to run.
  bool isIdle() const;
  // Waiting commands, the running one not counted.
  std::size_t pendingCount() const;
  // Droppable commands dropped to keep within the limit.
  std::size_t droppedCount() const;

 private:
  struct Pending {
    Operation operation;
    bool droppable = false;
  };

  explicit RemotePhonePointerQueue(boost::asio::any_io_executor executor);
  // Under the lock, at the limit: moves the oldest droppable waiting command to `discarded`; false when the new
  // one is the one to drop instead.
  bool makeRoomFor(bool droppable, Operation& discarded);
  // Runs the pending operations in order until none is left.
  static boost::asio::awaitable<void> drain(std::shared_ptr<RemotePhonePointerQueue> self);

  const boost::asio::any_io_executor executor_;
  mutable std::mutex mutex_;
  std::deque<Pending> pending_;
  bool draining_ = false;
  std::size_t dropped_ = 0;
  std::set<std::string> pointerSessionIDs_;
};

}  // namespace veltrano
