#pragma once
// Platform calls that may block for a while (connecting to the X server or the sound server, opening an
// encoder, joining a capture or encoder thread) run on a small pool of their own, never on the shared I/O
// threads that carry the network and every actor.
#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/awaitable.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/use_awaitable.hpp>

#include <type_traits>
#include <utility>

namespace veltrano {

boost::asio::any_io_executor mediaBlockingExecutor();

namespace detail {
template <class F>
boost::asio::awaitable<std::invoke_result_t<F&>> invokeBlocking(F fn) {
  if constexpr (std::is_void_v<std::invoke_result_t<F&>>) {
    fn();
    co_return;
  } else {
    co_return fn();
  }
}
}  // namespace detail

// Runs `fn` on the blocking pool; the caller resumes on its own executor with the result or the exception.
template <class F>
boost::asio::awaitable<std::invoke_result_t<F&>> callBlocking(F fn) {
  // Built in a statement of its own: GCC 12 mishandles by-value temporaries inside a co_await expression.
  auto work = boost::asio::co_spawn(mediaBlockingExecutor(), detail::invokeBlocking(std::move(fn)),
                                    boost::asio::use_awaitable);
  co_return co_await std::move(work);
}

}  // namespace veltrano
