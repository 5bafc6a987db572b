#include "platform/memory/allocator.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace veltrano::platform {
namespace {

std::uint64_t residentKiB() { return residentBytes() / 1024; }

// A frame-sized block freed after a larger one was freed: with glibc's dynamic threshold it would stay in the heap.
TEST(AllocatorTest, FreedFrameSizedBlocksLeaveTheProcess) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "the sanitizers bring their own allocator";
#endif
  returnLargeBlocksToSystem();
  constexpr std::size_t kFrameBytes = 1920 * 1080 * 4;
  auto* larger = static_cast<char*>(std::malloc(4 * kFrameBytes));
  ASSERT_NE(larger, nullptr);
  std::memset(larger, 1, 4 * kFrameBytes);
  std::free(larger);

  const auto before = residentKiB();
  auto* frame = static_cast<char*>(std::malloc(kFrameBytes));
  ASSERT_NE(frame, nullptr);
  std::memset(frame, 1, kFrameBytes);
  EXPECT_GE(residentKiB(), before + kFrameBytes / 1024 / 2);
  std::free(frame);
  EXPECT_LT(residentKiB(), before + kFrameBytes / 1024 / 4);
}

}  // namespace
}  // namespace veltrano::platform
