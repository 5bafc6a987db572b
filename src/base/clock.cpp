#include "base/clock.hpp"

#include <boost/asio/defer.hpp>
#include <boost/asio/redirect_error.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/this_coro.hpp>

#include <algorithm>

namespace veltrano {

namespace {

class SystemClock final : public Clock {
 public:
  TimePoint now() const override { return std::chrono::steady_clock::now(); }

  asio::awaitable<void> sleepUntil(TaskToken token, TimePoint deadline) override {
    if (token) token->checkCancellation();
    auto executor = co_await asio::this_coro::executor;
    auto timer = std::make_shared<asio::steady_timer>(executor, deadline);
    std::uint64_t hook = 0;
    if (token) {
      // The timer belongs to this coroutine's executor; cancel it there (deferred: a canceller already running
      // on that executor's threads does it when its handler returns, without waking another thread).
      hook = token->onCancel([executor, weak = std::weak_ptr(timer)] {
        asio::defer(executor, [weak] {
          if (auto t = weak.lock()) t->cancel();
        });
      });
    }
    boost::system::error_code ec;
    co_await timer->async_wait(asio::redirect_error(asio::use_awaitable, ec));
    if (token) {
      token->removeCancelHook(hook);
      // A cancel whose timer completion was already queued does not report operation_aborted: check the flag.
      token->checkCancellation();
    }
  }
};

}  // namespace

Clock& systemClock() {
  static SystemClock clock;
  return clock;
}

asio::awaitable<void> sleepFor(TaskToken token, Clock& clock, Clock::Duration duration) {
  co_await clock.sleepUntil(std::move(token), clock.now() + duration);
}

VirtualClock::VirtualClock(std::function<void()> drain) : drain_(std::move(drain)), now_() {}

Clock::TimePoint VirtualClock::now() const {
  std::lock_guard lock(mutex_);
  return now_;
}

asio::awaitable<void> VirtualClock::sleepUntil(TaskToken token, TimePoint deadline) {
  if (token) token->checkCancellation();
  Continuation<> wake;
  std::uint64_t order;
  {
    std::lock_guard lock(mutex_);
    if (deadline <= now_) co_return;
    order = nextOrder_++;
    sleepers_.push_back({deadline, order, wake});
  }
  std::uint64_t hook = 0;
  if (token) {
    hook = token->onCancel([this, wake, order] {
      {
        std::lock_guard lock(mutex_);
        std::erase_if(sleepers_, [&](const Sleeper& s) { return s.order == order; });
      }
      wake.resume();
    });
  }
  co_await wake.wait();
  if (token) {
    token->removeCancelHook(hook);
    token->checkCancellation();
  }
}

bool VirtualClock::wakeNextDue(TimePoint limit) {
  Continuation<> wake;
  {
    std::lock_guard lock(mutex_);
    auto it = std::min_element(sleepers_.begin(), sleepers_.end(), [](const Sleeper& a, const Sleeper& b) {
      return a.deadline != b.deadline ? a.deadline < b.deadline : a.order < b.order;
    });
    if (it == sleepers_.end() || it->deadline > limit) return false;
    now_ = std::max(now_, it->deadline);
    wake = it->wake;
    sleepers_.erase(it);
  }
  wake.resume();
  if (drain_) drain_();
  return true;
}

void VirtualClock::advance(Duration by) {
  TimePoint target;
  {
    std::lock_guard lock(mutex_);
    target = now_ + by;
  }
  while (wakeNextDue(target)) {
  }
  {
    std::lock_guard lock(mutex_);
    now_ = std::max(now_, target);
  }
  if (drain_) drain_();
}

std::size_t VirtualClock::sleeperCount() const {
  std::lock_guard lock(mutex_);
  return sleepers_.size();
}

}  // namespace veltrano
