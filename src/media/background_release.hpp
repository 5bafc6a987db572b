#pragma once
// Objects that own a thread end it in their destructor: a join that may wait for an encoder to finish or for a slow
// X server. Whatever thread drops the last reference, the destruction happens on a thread of its own, so that an I/O
// thread or the main thread never waits for a join.
#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/post.hpp>

#include <memory>

namespace veltrano {

// Where such objects are destroyed, one at a time.
boost::asio::any_io_executor backgroundReleaseExecutor();

// A released encoder or capture stream has just freed its frame buffers: return the pages to the system.
void releaseFreedMemoryAfterRelease();

template <class T>
std::shared_ptr<T> releasedInBackground(std::unique_ptr<T> object) {
  return std::shared_ptr<T>(object.release(), [](T* owned) {
    // Owned by the handler: a release still queued when the pools shut down happens as the queue is discarded.
    boost::asio::post(backgroundReleaseExecutor(), [held = std::unique_ptr<T>(owned)]() mutable {
      held.reset();
      releaseFreedMemoryAfterRelease();
    });
  });
}

}  // namespace veltrano
