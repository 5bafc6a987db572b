#include "media/blocking_call.hpp"

#include "base/executors.hpp"

namespace veltrano {

boost::asio::any_io_executor mediaBlockingExecutor() {
  // Two threads: a stop that waits for a stuck X server must not hold up every other display.
  static IoThreads pool(2);
  return pool.executor();
}

}  // namespace veltrano
