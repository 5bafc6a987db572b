#include "platform/capture/captured_frame_pool.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>

namespace veltrano::platform {
namespace {

TEST(CapturedFramePool, ReusesOnlyFramesNobodyHolds) {
  auto pool = CapturedFramePool::create(2);
  auto held = pool->acquire(64, 32, 256);
  ASSERT_EQ(held->pixels.size(), 256u * 32u);
  held->pixels[0] = 0xAB;
  const std::uint8_t* heldPixels = held->pixels.data();
  std::shared_ptr<const CapturedFrame> kept = held;  // e.g. the last frame kept for re-sending
  held.reset();
  EXPECT_EQ(pool->idleCount(), 0u);

  auto other = pool->acquire(64, 32, 256);
  EXPECT_NE(other->pixels.data(), heldPixels);
  EXPECT_EQ(kept->pixels[0], 0xAB);

  const std::uint8_t* otherPixels = other->pixels.data();
  other.reset();
  EXPECT_EQ(pool->idleCount(), 1u);
  auto reused = pool->acquire(64, 32, 256);
  EXPECT_EQ(reused->pixels.data(), otherPixels);
  EXPECT_EQ(pool->idleCount(), 0u);
}

TEST(CapturedFramePool, KeepsAtMostItsLimitAndDropsOtherSizes) {
  auto pool = CapturedFramePool::create(2);
  auto a = pool->acquire(16, 16, 64);
  auto b = pool->acquire(16, 16, 64);
  auto c = pool->acquire(16, 16, 64);
  a.reset();
  b.reset();
  c.reset();
  EXPECT_EQ(pool->idleCount(), 2u);

  auto larger = pool->acquire(32, 16, 128);
  EXPECT_EQ(larger->pixels.size(), 128u * 16u);
  EXPECT_EQ(larger->width, 32);
  EXPECT_EQ(larger->stride, 128);
  EXPECT_EQ(pool->idleCount(), 0u);  // buffers of the old size are freed, not handed out
}

TEST(CapturedFramePool, FramesMayOutliveThePool) {
  auto pool = CapturedFramePool::create(1);
  auto frame = pool->acquire(8, 8, 32);
  pool.reset();
  frame->pixels[5] = 1;  // still valid; freed when released (checked by the sanitizer builds)
  frame.reset();
}

}  // namespace
}  // namespace veltrano::platform
