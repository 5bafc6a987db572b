#pragma once
// Objects that belong to the main thread are destroyed there: when the last reference goes away on
// another thread, the deletion is handed to the main thread.
#include <memory>
#include <utility>

#include "base/executors.hpp"

namespace veltrano {

template <class T, class... Args>
std::shared_ptr<T> makeMainThreadOwned(Args&&... args) {
  return std::shared_ptr<T>(new T(std::forward<Args>(args)...), [](T* object) {
    if (isOnMainThread() || !mainExecutor()) {
      delete object;
    } else {
      // Owned by the block, so that a main loop that ends before running it still deletes the object.
      performOnMainRunLoop([owned = std::shared_ptr<T>(object)]() mutable { owned.reset(); });
    }
  });
}

}  // namespace veltrano
