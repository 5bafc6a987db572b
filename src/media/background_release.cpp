#include "media/background_release.hpp"

#include "base/thread_pools.hpp"
#include "platform/memory/allocator.hpp"

namespace veltrano {

namespace {
// One thread: releases run one at a time and never take a thread of the blocking pool, which starts and stops
// need. Owned by ThreadPools, so nothing of it outlives the pools at exit.
const ThreadPoolKind kBackgroundRelease{"background release", 1};
}  // namespace

boost::asio::any_io_executor backgroundReleaseExecutor() { return ThreadPools::pool(kBackgroundRelease).executor(); }

void releaseFreedMemoryAfterRelease() { platform::releaseFreedMemory(); }

}  // namespace veltrano
