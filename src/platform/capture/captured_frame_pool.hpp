#pragma once
// Keeps the buffers of frames nobody holds any more, so that the capture thread fills a picture that is already
// allocated and paged in instead of a fresh zero-filled one for every grab. A frame returns here when its
// last holder lets go of it (the encoder, the service's last frame kept for re-sending), never earlier.
#include <cstddef>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/capture/captured_frame.hpp"

namespace veltrano::platform {

class CapturedFramePool : public std::enable_shared_from_this<CapturedFramePool> {
 public:
  // Keeps at most `maxIdle` released frames; more are freed.
  static std::shared_ptr<CapturedFramePool> create(std::size_t maxIdle);
  CapturedFramePool(const CapturedFramePool&) = delete;
  CapturedFramePool& operator=(const CapturedFramePool&) = delete;

  // A frame of this size that no one else holds. Its planes are whatever the previous use left there: the caller
  // overwrites all of them. Frames outliving the pool are simply freed.
  std::shared_ptr<CapturedFrame> acquire(int width, int height);
  std::size_t idleCount() const;

 private:
  explicit CapturedFramePool(std::size_t maxIdle) : maxIdle_(maxIdle) {}
  void recycle(CapturedFrame* frame);

  const std::size_t maxIdle_;
  mutable std::mutex mutex_;
  std::vector<std::unique_ptr<CapturedFrame>> idle_;
};

}  // namespace veltrano::platform
