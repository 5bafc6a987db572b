#pragma once
// Objects that own a thread end it in their destructor: a join that may wait for an encoder to finish or for a slow
// X server. Whatever thread drops the last reference, the destruction happens on the blocking pool, so that an I/O
// thread or the main thread never waits for a join.
#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/post.hpp>

#include <memory>

namespace veltrano {

// Where such objects are destroyed, one at a time.
boost::asio::any_io_executor backgroundReleaseExecutor();

template <class T>
std::shared_ptr<T> releasedInBackground(std::unique_ptr<T> object) {
  return std::shared_ptr<T>(object.release(), [](T* owned) {
    boost::asio::post(backgroundReleaseExecutor(), [owned] { delete owned; });
  });
}

}  // namespace veltrano
