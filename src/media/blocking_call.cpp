#include "media/blocking_call.hpp"

#include "base/thread_pools.hpp"

namespace veltrano {

namespace {
// Two threads: a stop that waits for a stuck X server must not hold up every other display.
const ThreadPoolKind kMediaBlocking{"media blocking calls", 2};
}  // namespace

boost::asio::any_io_executor mediaBlockingExecutor() { return ThreadPools::pool(kMediaBlocking).executor(); }

}  // namespace veltrano
