#include "filetransfer/file_io_pool.hpp"

#include <boost/asio/thread_pool.hpp>

namespace veltrano {

namespace {
// One transfer runs at a time; a second thread keeps a slow flush from delaying a cancelled transfer's cleanup.
constexpr std::size_t fileIoThreads = 2;

asio::thread_pool& fileIoPool() {
  static asio::thread_pool pool(fileIoThreads);
  return pool;
}
}  // namespace

asio::any_io_executor fileIoExecutor() { return fileIoPool().get_executor(); }

Strand makeFileActorStrand() { return asio::make_strand(fileIoExecutor()); }

}  // namespace veltrano
