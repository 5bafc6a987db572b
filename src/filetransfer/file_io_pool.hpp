#pragma once
// The small pool of threads on which file senders and writers run: their reads, writes, flushes and renames
// block, so they never run on the main thread or on the shared I/O threads.
#include "base/executors.hpp"

namespace veltrano {

asio::any_io_executor fileIoExecutor();
// A fresh strand on the pool: the executor of one sender or writer.
Strand makeFileActorStrand();

}  // namespace veltrano
