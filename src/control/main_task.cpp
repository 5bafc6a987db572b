#include "control/main_task.hpp"

#include <boost/asio/post.hpp>
#include <boost/asio/use_awaitable.hpp>

#include "base/executors.hpp"

namespace veltrano {

namespace {
asio::awaitable<void> startLater(asio::any_io_executor executor, Task::Body body, TaskToken token) {
  co_await asio::post(executor, asio::use_awaitable);
  co_await body(std::move(token));
}
}  // namespace

Task spawnMainTask(Task::Body body) {
  const asio::any_io_executor executor = mainExecutor();
  return Task::spawn(executor, [executor, body = std::move(body)](TaskToken token) {
    return startLater(executor, body, std::move(token));
  });
}

}  // namespace veltrano
