#include "remote/remote_phone_pointer_queue.hpp"

#include <algorithm>
#include <exception>
#include <utility>

#include "base/task.hpp"
#include "base/unhandled_error.hpp"

namespace veltrano {

std::shared_ptr<RemotePhonePointerQueue> RemotePhonePointerQueue::create(boost::asio::any_io_executor executor) {
  return std::shared_ptr<RemotePhonePointerQueue>(new RemotePhonePointerQueue(std::move(executor)));
}

RemotePhonePointerQueue::RemotePhonePointerQueue(boost::asio::any_io_executor executor)
    : executor_(std::move(executor)) {}

void RemotePhonePointerQueue::enqueue(Operation operation, bool droppable) {
  Operation discarded;  // released after the lock: what it holds may call back into the queue
  {
    std::lock_guard lock(mutex_);
    if (!makeRoomFor(droppable, discarded)) return;
    pending_.push_back({std::move(operation), droppable});
    if (draining_) return;
    draining_ = true;
  }
  Task::spawn(executor_, [self = shared_from_this()](TaskToken) { return drain(self); });
}

bool RemotePhonePointerQueue::makeRoomFor(bool droppable, Operation& discarded) {
  if (pending_.size() < pendingLimit) return true;
  const auto oldest = std::ranges::find_if(pending_, [](const Pending& p) { return p.droppable; });
  if (oldest != pending_.end()) {
    discarded = std::move(oldest->operation);
    pending_.erase(oldest);
    ++dropped_;
    return true;
  }
  if (!droppable) return true;  // only commands that must run are waiting: keep them all
  ++dropped_;  // nothing older to drop: the new one goes
  return false;
}

boost::asio::awaitable<void> RemotePhonePointerQueue::drain(std::shared_ptr<RemotePhonePointerQueue> self) {
  for (;;) {
    Operation operation;
    {
      std::lock_guard lock(self->mutex_);
      if (self->pending_.empty()) {
        self->draining_ = false;
        co_return;
      }
      operation = std::move(self->pending_.front().operation);
      self->pending_.pop_front();
    }
    // A failing command must not hold up the ones behind it.
    std::exception_ptr failure;
    try {
      co_await operation();
    } catch (...) {
      failure = std::current_exception();
    }
    if (failure) reportUnhandledError("remote command", failure);
  }
}

void RemotePhonePointerQueue::insertPointerSession(const std::string& pointerSession) {
  std::lock_guard lock(mutex_);
  pointerSessionIDs_.insert(pointerSession);
}

std::set<std::string> RemotePhonePointerQueue::pointerSessionSnapshot() const {
  std::lock_guard lock(mutex_);
  return pointerSessionIDs_;
}

bool RemotePhonePointerQueue::isIdle() const {
  std::lock_guard lock(mutex_);
  return pending_.empty() && !draining_;
}

std::size_t RemotePhonePointerQueue::pendingCount() const {
  std::lock_guard lock(mutex_);
  return pending_.size();
}

std::size_t RemotePhonePointerQueue::droppedCount() const {
  std::lock_guard lock(mutex_);
  return dropped_;
}

}  // namespace veltrano
