#pragma once
// Reading or writing an actor's fields from outside: `fn(actor)` runs on the actor's executor and the caller
// resumes on its own executor with the result. Used for the fields the host reads and writes on the media
// actors (capture geometry, pacing target, force-keyframe flag, weak links).
#include <boost/asio/awaitable.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/use_awaitable.hpp>

#include <memory>
#include <type_traits>
#include <utility>

namespace veltrano {

namespace detail {
// `actor` and `fn` are parameters, so they live in the coroutine frame.
template <class Actor, class F>
boost::asio::awaitable<std::invoke_result_t<F&, Actor&>> applyOnActor(std::shared_ptr<Actor> actor, F fn) {
  if constexpr (std::is_void_v<std::invoke_result_t<F&, Actor&>>) {
    fn(*actor);
    co_return;
  } else {
    co_return fn(*actor);
  }
}
}  // namespace detail

template <class Actor, class F>
boost::asio::awaitable<std::invoke_result_t<F&, Actor&>> onActor(std::shared_ptr<Actor> actor, F fn) {
  auto executor = actor->executor();
  // Built in a statement of its own: GCC 12 mishandles by-value temporaries inside a co_await expression.
  auto work = boost::asio::co_spawn(executor, detail::applyOnActor(std::move(actor), std::move(fn)),
                                    boost::asio::use_awaitable);
  co_return co_await std::move(work);
}

}  // namespace veltrano
