#pragma once
// Awaiting a coroutine from a blocking test thread. The coroutine runs on the shared I/O threads; the test thread
// either just waits or keeps its main loop turning, for operations that hop to the main thread. Both rethrow what
// the coroutine throws and throw "operation timed out" when it does not finish in time.
#include <boost/asio/awaitable.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/use_future.hpp>

#include <chrono>
#include <future>
#include <stdexcept>
#include <utility>

#include "base/executors.hpp"

namespace veltrano::testing {

template <class T>
T runBlocking(boost::asio::awaitable<T> operation, std::chrono::milliseconds timeout = std::chrono::seconds(30)) {
  auto future = boost::asio::co_spawn(sharedIo().executor(), std::move(operation), boost::asio::use_future);
  if (future.wait_for(timeout) != std::future_status::ready) throw std::runtime_error("operation timed out");
  return future.get();
}

template <class T>
T awaitOn(MainLoopForTests& loop, boost::asio::awaitable<T> operation,
          std::chrono::milliseconds timeout = std::chrono::seconds(20)) {
  auto future = boost::asio::co_spawn(sharedIo().executor(), std::move(operation), boost::asio::use_future);
  const bool done = loop.runUntil(
      [&] { return future.wait_for(std::chrono::seconds(0)) == std::future_status::ready; }, timeout);
  if (!done) throw std::runtime_error("operation timed out");
  return future.get();
}

}  // namespace veltrano::testing
