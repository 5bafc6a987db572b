#include "base/clock.hpp"

#include <sys/timerfd.h>
#include <time.h>

#include <boost/asio/defer.hpp>
#include <boost/asio/posix/stream_descriptor.hpp>
#include <boost/asio/redirect_error.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/this_coro.hpp>

#include <algorithm>
#include <cerrno>
#include <optional>
#include <system_error>

namespace veltrano {

namespace {

// Waits for `waiter` (an Asio object with cancel() on the coroutine's executor) through `wait`, which
// starts its asynchronous wait; the token's cancellation cancels it.
template <class Waiter, class StartWait>
asio::awaitable<void> waitCancellably(TaskToken token, asio::any_io_executor executor, std::shared_ptr<Waiter> waiter,
                                      StartWait wait) {
  std::uint64_t hook = 0;
  if (token) {
    // The waiter belongs to this coroutine's executor; cancel it there (deferred: a canceller already running
    // on that executor's threads does it when its handler returns, without waking another thread).
    hook = token->onCancel([executor, weak = std::weak_ptr(waiter)] {
      asio::defer(executor, [weak] {
        if (auto w = weak.lock()) w->cancel();
      });
    });
  }
  boost::system::error_code ec;
  co_await wait(*waiter, asio::redirect_error(asio::use_awaitable, ec));
  if (token) {
    token->removeCancelHook(hook);
    // A cancel whose completion was already queued does not report operation_aborted: check the flag.
    token->checkCancellation();
  }
}

class SystemClock final : public Clock {
 public:
  TimePoint now() const override { return std::chrono::steady_clock::now(); }

  asio::awaitable<void> sleepUntil(TaskToken token, TimePoint deadline) override {
    if (token) token->checkCancellation();
    auto executor = co_await asio::this_coro::executor;
    auto timer = std::make_shared<asio::steady_timer>(executor, deadline);
    co_await waitCancellably(std::move(token), executor, timer,
                             [](asio::steady_timer& t, auto completion) { return t.async_wait(completion); });
  }
};

class BootClock final : public Clock {
 public:
  TimePoint now() const override {
    timespec time{};
    ::clock_gettime(CLOCK_BOOTTIME, &time);
    return TimePoint(std::chrono::duration_cast<Duration>(std::chrono::seconds(time.tv_sec) +
                                                          std::chrono::nanoseconds(time.tv_nsec)));
  }

  // A timer file on the boot clock: it expires on time also when the computer slept through the deadline.
  asio::awaitable<void> sleepUntil(TaskToken token, TimePoint deadline) override {
    if (token) token->checkCancellation();
    if (deadline <= now()) co_return;  // an all-zero expiry would disarm the timer instead
    const int fd = ::timerfd_create(CLOCK_BOOTTIME, TFD_NONBLOCK | TFD_CLOEXEC);
    if (fd < 0) throw std::system_error(errno, std::generic_category(), "timerfd_create");
    auto executor = co_await asio::this_coro::executor;
    auto timer = std::make_shared<asio::posix::stream_descriptor>(executor, fd);
    const auto sinceBoot = deadline.time_since_epoch();
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(sinceBoot);
    itimerspec expiry{};
    expiry.it_value.tv_sec = seconds.count();
    expiry.it_value.tv_nsec = std::chrono::duration_cast<std::chrono::nanoseconds>(sinceBoot - seconds).count();
    if (::timerfd_settime(fd, TFD_TIMER_ABSTIME, &expiry, nullptr) != 0) {
      throw std::system_error(errno, std::generic_category(), "timerfd_settime");
    }
    co_await waitCancellably(std::move(token), executor, timer, [](asio::posix::stream_descriptor& d, auto completion) {
      return d.async_wait(asio::posix::stream_descriptor::wait_read, completion);
    });
  }
};

}  // namespace

Clock& systemClock() {
  static SystemClock clock;
  return clock;
}

Clock& bootClock() {
  static BootClock clock;
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
  std::uint64_t order;
  std::optional<asio::awaitable<void>> woken;
  {
    Continuation<> wake;
    std::lock_guard lock(mutex_);
    if (deadline <= now_) co_return;
    order = nextOrder_++;
    sleepers_.push_back({deadline, order, wake});
    // Only the sleeper list keeps the continuation: a sleep the clock is destroyed under is freed with it.
    woken.emplace(std::move(wake).waitLettingGo());
  }
  std::uint64_t hook = 0;
  if (token) {
    // The hook finds the continuation through the list too: the token lives in this frame.
    hook = token->onCancel([this, order] {
      std::optional<Continuation<>> wake;
      {
        std::lock_guard lock(mutex_);
        const auto it =
            std::find_if(sleepers_.begin(), sleepers_.end(), [&](const Sleeper& s) { return s.order == order; });
        if (it == sleepers_.end()) return;  // already woken
        wake = it->wake;
        sleepers_.erase(it);
      }
      wake->resume();
    });
  }
  co_await std::move(*woken);
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
