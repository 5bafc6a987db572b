#include "platform/events/scroll_notches.hpp"

#include <gtest/gtest.h>

namespace veltrano::platform {
namespace {

TEST(ScrollNotches, SmallDeltasAddUpToAClick) {
  ScrollNotchAccumulator notches;
  for (int i = 0; i < 9; ++i) EXPECT_EQ(notches.add(4, 0), (ScrollNotches{0, 0})) << i;
  EXPECT_EQ(notches.add(4, 0), (ScrollNotches{1, 0}));  // 40 px
  EXPECT_EQ(notches.add(kScrollPixelsPerNotch - 1, 0), (ScrollNotches{0, 0}));
  EXPECT_EQ(notches.add(1, 0), (ScrollNotches{1, 0}));
}

TEST(ScrollNotches, KeepsTheRemainderAndTheSign) {
  ScrollNotchAccumulator notches;
  EXPECT_EQ(notches.add(-95, 0), (ScrollNotches{-2, 0}));  // -15 px left over
  EXPECT_EQ(notches.add(-25, 0), (ScrollNotches{-1, 0}));
  EXPECT_EQ(notches.add(30, 0), (ScrollNotches{0, 0}));
  EXPECT_EQ(notches.add(-30, 0), (ScrollNotches{0, 0}));  // back to nothing pending
  EXPECT_EQ(notches.add(-39, 0), (ScrollNotches{0, 0}));
}

TEST(ScrollNotches, AxesAreIndependent) {
  ScrollNotchAccumulator notches;
  EXPECT_EQ(notches.add(30, -30), (ScrollNotches{0, 0}));
  EXPECT_EQ(notches.add(10, -50), (ScrollNotches{1, -2}));
  EXPECT_EQ(notches.add(0, 0), (ScrollNotches{0, 0}));
}

TEST(ScrollNotches, HugeDeltasAreCappedNotQueued) {
  ScrollNotchAccumulator notches;
  EXPECT_EQ(notches.add(INT32_MAX, INT32_MIN), (ScrollNotches{kMaxScrollNotchesPerPost, -kMaxScrollNotchesPerPost}));
  // The excess is dropped, not posted later.
  EXPECT_EQ(notches.add(0, 0), (ScrollNotches{0, 0}));
  const ScrollNotches next = notches.add(kScrollPixelsPerNotch, 0);
  EXPECT_LE(next.vertical, 2);
  EXPECT_GE(next.vertical, 1);
}

}  // namespace
}  // namespace veltrano::platform
