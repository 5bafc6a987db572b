#include "media/background_release.hpp"

#include <boost/asio/strand.hpp>

#include <mutex>
#include <optional>

#include "media/blocking_call.hpp"

namespace veltrano {

boost::asio::any_io_executor backgroundReleaseExecutor() {
  // A strand: releases never take more than one of the pool's threads, which starts and stops need too. Made anew
  // when the pool is another one.
  static std::mutex mutex;
  static std::optional<boost::asio::strand<boost::asio::any_io_executor>> releases;
  const boost::asio::any_io_executor pool = mediaBlockingExecutor();
  std::lock_guard lock(mutex);
  if (!releases || releases->get_inner_executor() != pool) releases = boost::asio::make_strand(pool);
  return *releases;
}

}  // namespace veltrano
