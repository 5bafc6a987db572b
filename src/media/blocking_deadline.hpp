#pragma once
// A blocking platform call with a deadline on the caller's clock: an X server that stops answering must not hold
// the caller forever. Past the deadline the caller resumes with `late` thrown while the call goes on blocking a
// thread of the pool; a result that still comes is dropped there (sources release themselves in the background).
#include <boost/asio/post.hpp>
#include <boost/asio/this_coro.hpp>

#include <exception>
#include <optional>
#include <type_traits>
#include <utility>

#include "base/clock.hpp"
#include "base/continuation.hpp"
#include "base/task.hpp"
#include "media/blocking_call.hpp"

namespace veltrano {

namespace detail {
template <class T>
asio::awaitable<void> resumeLateAt(Clock& clock, Clock::TimePoint deadline, Continuation<T> outcome,
                                   std::exception_ptr late, TaskToken token) {
  co_await clock.sleepUntil(std::move(token), deadline);
  outcome.resumeThrowing(std::move(late));
}
}  // namespace detail

template <class F>
asio::awaitable<std::invoke_result_t<F&>> callBlockingUntil(Clock& clock, Clock::TimePoint deadline,
                                                            std::exception_ptr late, F fn) {
  using T = std::invoke_result_t<F&>;
  Continuation<T> outcome;
  asio::post(mediaBlockingExecutor(), [outcome, fn = std::move(fn)]() mutable {
    try {
      outcome.resume(fn());
    } catch (...) {
      outcome.resumeThrowing(std::current_exception());
    }
  });
  const auto executor = co_await asio::this_coro::executor;
  const Task expiry = Task::spawn(executor, [&clock, deadline, outcome, late](TaskToken token) {
    return detail::resumeLateAt(clock, deadline, outcome, late, std::move(token));
  });
  std::optional<T> value;
  std::exception_ptr error;
  try {
    value = co_await outcome.wait();
  } catch (...) {
    error = std::current_exception();
  }
  expiry.cancel();
  if (error) std::rethrow_exception(error);
  co_return std::move(*value);
}

}  // namespace veltrano
