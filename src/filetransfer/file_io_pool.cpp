#include "filetransfer/file_io_pool.hpp"

namespace veltrano {

namespace {
// One transfer runs at a time; a second thread keeps a slow flush from delaying a cancelled transfer's cleanup.
const ThreadPoolKind kFileIo{"file I/O", 2};
}  // namespace

asio::any_io_executor fileIoExecutor() { return ThreadPools::pool(kFileIo).executor(); }

Strand makeFileActorStrand() { return asio::make_strand(fileIoExecutor()); }

}  // namespace veltrano
