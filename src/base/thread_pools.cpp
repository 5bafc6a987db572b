#include "base/thread_pools.hpp"

#include <boost/asio/post.hpp>

#include <cstdio>
#include <cstdlib>
#include <exception>

#include "base/unhandled_error.hpp"

namespace veltrano {

namespace {
std::mutex gOwnerMutex;
ThreadPools* gOwner = nullptr;

[[noreturn]] void abortWith(const char* message, const char* name) {
  std::fprintf(stderr, "fatal: %s (%s)\n", message, name);
  std::abort();
}

const ThreadPoolKind kJoiner{"thread joiner", 1};

// Joins its thread when destroyed, so that a join handler discarded at shutdown still joins.
class JoinOnDestroy {
 public:
  explicit JoinOnDestroy(std::thread thread) : thread_(std::move(thread)) {}
  JoinOnDestroy(JoinOnDestroy&&) = default;
  JoinOnDestroy& operator=(JoinOnDestroy&&) = delete;
  ~JoinOnDestroy() { join(); }
  void join() {
    if (thread_.joinable()) thread_.join();
  }

 private:
  std::thread thread_;
};
}  // namespace

IoThreads::IoThreads(const char* name, unsigned threads) : name_(name), guard_(context_.get_executor()) {
  for (unsigned i = 0; i < threads; ++i) threads_.emplace_back([this] { serve(); });
}

IoThreads::~IoThreads() {
  stop();
  join();
  discardQueued();
}

void IoThreads::serve() {
  for (;;) {
    try {
      context_.run();
      return;
    } catch (...) {
      reportUnhandledError(name_, std::current_exception());
    }
  }
}

void IoThreads::stop() {
  guard_.reset();
  context_.stop();
}

void IoThreads::join() {
  for (auto& t : threads_) {
    if (t.joinable()) t.join();
  }
}

void IoThreads::discardQueued() { context_.shutdown(); }

ThreadPools::ThreadPools() {
  std::lock_guard lock(gOwnerMutex);
  if (gOwner) abortWith("a second owner of the shared thread pools", "ThreadPools");
  gOwner = this;
}

ThreadPools::~ThreadPools() {
  {
    std::lock_guard lock(mutex_);
    closing_ = true;
  }
  // Pools are only added while not closing, so the list is stable from here on.
  // Every thread stops before any queue is destroyed: a discarded handler may post to another pool.
  for (auto& [kind, pool] : pools_) pool->stop();
  for (auto& [kind, pool] : pools_) pool->join();
  for (auto& [kind, pool] : pools_) pool->discardQueued();
  while (!pools_.empty()) pools_.pop_back();
  {
    std::lock_guard lock(gOwnerMutex);
    gOwner = nullptr;
  }
  // Threads that ended themselves meanwhile (a serial thread whose owner went with a discarded handler); once
  // uninstalled nothing more can be handed over.
  for (auto& thread : lateJoins_) thread.join();
}

IoThreads& ThreadPools::pool(const ThreadPoolKind& kind) {
  ThreadPools* owner;
  {
    std::lock_guard lock(gOwnerMutex);
    owner = gOwner;
  }
  if (!owner) abortWith("a shared thread pool used with no ThreadPools owner installed by main", kind.name);
  std::lock_guard lock(owner->mutex_);
  if (owner->closing_) {
    for (auto& [known, pool] : owner->pools_) {
      if (known == &kind) return *pool;
    }
    abortWith("a shared thread pool started while the pools shut down", kind.name);
  }
  return owner->poolWhileLocked(kind);
}

IoThreads& ThreadPools::poolWhileLocked(const ThreadPoolKind& kind) {
  for (auto& [known, pool] : pools_) {
    if (known == &kind) return *pool;
  }
  pools_.emplace_back(&kind, std::make_unique<IoThreads>(kind.name, kind.threads));
  return *pools_.back().second;
}

void joinElsewhere(std::thread thread) {
  std::lock_guard lock(gOwnerMutex);
  if (!gOwner) {
    thread.detach();  // the process is past its pools: the thread is ending and nobody is left to join it
    return;
  }
  std::lock_guard ownerLock(gOwner->mutex_);
  if (gOwner->closing_) {
    gOwner->lateJoins_.push_back(std::move(thread));
    return;
  }
  // Posted under the owner's lock: the pools cannot start closing, and be destroyed, between the check and the
  // post. A post that lands first is discarded at closing, and its JoinOnDestroy joins then.
  asio::post(gOwner->poolWhileLocked(kJoiner).executor(),
             [joining = JoinOnDestroy(std::move(thread))]() mutable { joining.join(); });
}

}  // namespace veltrano
