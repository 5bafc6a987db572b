#include "platform/capture/captured_frame_pool.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>

namespace veltrano::platform {
namespace {

TEST(CapturedFramePool, ReusesOnlyFramesNobodyHolds) {
  auto pool = CapturedFramePool::create(2);
  auto held = pool->acquire(64, 32);
  ASSERT_EQ(held->planes.size(), 64u * 32u + 2 * 32u * 16u);  // Y, then U and V at half size
  held->planes[0] = 0xAB;
  const std::uint8_t* heldPlanes = held->planes.data();
  std::shared_ptr<const CapturedFrame> kept = held;  // e.g. the last frame kept for re-sending
  held.reset();
  EXPECT_EQ(pool->idleCount(), 0u);

  auto other = pool->acquire(64, 32);
  EXPECT_NE(other->planes.data(), heldPlanes);
  EXPECT_EQ(kept->planes[0], 0xAB);

  const std::uint8_t* otherPlanes = other->planes.data();
  other.reset();
  EXPECT_EQ(pool->idleCount(), 1u);
  auto reused = pool->acquire(64, 32);
  EXPECT_EQ(reused->planes.data(), otherPlanes);
  EXPECT_EQ(pool->idleCount(), 0u);
}

TEST(CapturedFramePool, KeepsAtMostItsLimitAndDropsOtherSizes) {
  auto pool = CapturedFramePool::create(2);
  auto a = pool->acquire(16, 16);
  auto b = pool->acquire(16, 16);
  auto c = pool->acquire(16, 16);
  a.reset();
  b.reset();
  c.reset();
  EXPECT_EQ(pool->idleCount(), 2u);

  auto larger = pool->acquire(33, 15);  // odd sizes: chroma rounds up
  EXPECT_EQ(larger->planes.size(), 33u * 15u + 2 * 17u * 8u);
  EXPECT_EQ(larger->width, 33);
  EXPECT_EQ(larger->chromaWidth(), 17);
  EXPECT_EQ(larger->v() + 17 * 8, larger->planes.data() + larger->planes.size());
  EXPECT_EQ(pool->idleCount(), 0u);  // buffers of the old size are freed, not handed out
}

TEST(CapturedFramePool, FramesMayOutliveThePool) {
  auto pool = CapturedFramePool::create(1);
  auto frame = pool->acquire(8, 8);
  pool.reset();
  frame->planes[5] = 1;  // still valid; freed when released (checked by the sanitizer builds)
  frame.reset();
}

}  // namespace
}  // namespace veltrano::platform
