#include "localserver/listener_cancellation_waiter.hpp"

#include <boost/asio/steady_timer.hpp>
#include <boost/asio/this_coro.hpp>

namespace veltrano {

NWListenerCancellationWaiter::NWListenerCancellationWaiter(Continuation<> continuation)
    : continuation(std::move(continuation)) {}

bool NWListenerCancellationWaiter::resumeOnce() {
  std::optional<Continuation<>> taken;
  {
    std::lock_guard guard(lock);
    taken.swap(continuation);
  }
  if (!taken) return false;
  taken->resume();
  return true;
}

boost::asio::awaitable<void> cancelAndWait(std::shared_ptr<platform::NetworkListener> listener,
                                           std::chrono::milliseconds safetyTimeout) {
  Continuation<> cancelled;
  auto waiter = std::make_shared<NWListenerCancellationWaiter>(cancelled);
  listener->setStateHandler([waiter](const platform::NetworkState& state) {
    if (state.kind == platform::NetworkState::Kind::failed || state.kind == platform::NetworkState::Kind::cancelled) {
      waiter->resumeOnce();
    }
  });
  // The timer belongs to this coroutine's executor, so cancelling it below is safe.
  boost::asio::steady_timer timer(co_await boost::asio::this_coro::executor, safetyTimeout);
  timer.async_wait([waiter](boost::system::error_code error) {
    if (!error) waiter->resumeOnce();
  });
  listener->cancel();
  co_await cancelled.wait();
  timer.cancel();
}

}  // namespace veltrano
