#include "platform/capture/captured_frame_pool.hpp"

namespace veltrano::platform {

std::shared_ptr<CapturedFramePool> CapturedFramePool::create(std::size_t maxIdle) {
  return std::shared_ptr<CapturedFramePool>(new CapturedFramePool(maxIdle));
}

std::shared_ptr<CapturedFrame> CapturedFramePool::acquire(int width, int height) {
  const std::size_t bytes = CapturedFrame::byteCount(width, height);
  std::unique_ptr<CapturedFrame> frame;
  {
    std::lock_guard lock(mutex_);
    while (!idle_.empty() && !frame) {
      frame = std::move(idle_.back());
      idle_.pop_back();
      if (frame->planes.size() != bytes) frame.reset();  // left from another size
    }
  }
  if (!frame) {
    frame = std::make_unique<CapturedFrame>();
    frame->planes.resize(bytes);  // zero-filled once per buffer, not per grab
  }
  frame->width = width;
  frame->height = height;
  std::weak_ptr<CapturedFramePool> pool = weak_from_this();
  return std::shared_ptr<CapturedFrame>(frame.release(), [pool = std::move(pool)](CapturedFrame* released) {
    if (auto owner = pool.lock()) {
      owner->recycle(released);
    } else {
      delete released;
    }
  });
}

std::size_t CapturedFramePool::idleCount() const {
  std::lock_guard lock(mutex_);
  return idle_.size();
}

void CapturedFramePool::recycle(CapturedFrame* frame) {
  std::unique_ptr<CapturedFrame> owned(frame);
  std::lock_guard lock(mutex_);
  if (idle_.size() < maxIdle_) idle_.push_back(std::move(owned));
}

}  // namespace veltrano::platform
