#pragma once
// Running a step on the main thread from an actor and waiting there for its value: the one awaitable that hops to
// the main thread. The main executor must be installed (the application's, or a MainLoopForTests).
#include <boost/asio/awaitable.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/use_awaitable.hpp>

#include <functional>

#include "base/executors.hpp"
#include "base/task.hpp"

namespace veltrano {

namespace main_thread_call_detail {
template <class R>
asio::awaitable<R> callStep(std::function<R()> step) {
  co_return step();
}
template <>
inline asio::awaitable<void> callStep<void>(std::function<void()> step) {
  step();
  co_return;
}
}  // namespace main_thread_call_detail

// Runs `step` on the main thread; completes on the caller's executor with its result. Throws CancellationError
// when no main loop is installed any more (shutting down): nothing would ever run the step.
template <class R>
asio::awaitable<R> onMainThread(asio::awaitable<R> step) {
  asio::any_io_executor main = mainExecutor();
  if (!main) throw CancellationError();
  co_return co_await asio::co_spawn(main, std::move(step), asio::use_awaitable);
}

// The same for a plain function.
template <class R>
asio::awaitable<R> onMainThread(std::function<R()> step) {
  auto call = main_thread_call_detail::callStep<R>(std::move(step));
  co_return co_await onMainThread<R>(std::move(call));
}

}  // namespace veltrano
