#include "media/background_release.hpp"

#include <boost/asio/strand.hpp>

#include "media/blocking_call.hpp"

namespace veltrano {

boost::asio::any_io_executor backgroundReleaseExecutor() {
  // A strand: releases never take more than one of the pool's threads, which starts and stops need too.
  static const auto releases = boost::asio::make_strand(mediaBlockingExecutor());
  return releases;
}

}  // namespace veltrano
