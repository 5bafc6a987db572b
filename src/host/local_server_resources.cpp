#include "host/local_server_resources.hpp"

#include "base/executors.hpp"
#include "base/thread_checks.hpp"

namespace veltrano {

asio::awaitable<void> TeardownOnce::run(std::function<asio::awaitable<void>()> teardown) {
  assertOnMainThread();
  if (!teardown_) {
    teardown_ = Task::spawn(mainExecutor(), [teardown = std::move(teardown)](TaskToken) { return teardown(); });
  }
  co_await teardown_.join();
}

}  // namespace veltrano
