#include "platform/cpu/usable_cpus.hpp"

#include <gtest/gtest.h>

#include <sched.h>

#include <algorithm>
#include <thread>

using namespace veltrano;

TEST(UsableCpuCount, AffinityCappedByEveryQuotaOnTheWayToTheRoot) {
  struct Case {
    const char* name;
    unsigned affinity;
    std::vector<std::string> cpuMax;
    unsigned expected;
  };
  const Case cases[] = {
      {"mask alone", 2, {}, 2},
      {"no quota", 8, {"max 100000"}, 8},
      {"whole CPUs", 8, {"300000 100000"}, 3},
      {"share rounded up", 8, {"150000 100000"}, 2},
      {"less than one CPU", 8, {"20000 100000"}, 1},
      {"other period", 8, {"100000 50000"}, 2},
      {"quota above the mask", 2, {"400000 100000"}, 2},
      {"tightest level wins", 8, {"max 100000", "600000 100000", "200000 100000"}, 2},
      {"trailing newline", 8, {"200000 100000\n"}, 2},
      {"unreadable texts ignored", 4, {"", "max", "abc 100000", "100000 0", "-5 100000", "12x 100000"}, 4},
  };
  for (const auto& c : cases) EXPECT_EQ(usableCpuCount(c.affinity, c.cpuMax), c.expected) << c.name;
}

TEST(UsableCpuCount, UnknownMaskFallsBackToTheMachineAndQuotaStillApplies) {
  EXPECT_EQ(usableCpuCount(0, {}), std::max(1u, std::thread::hardware_concurrency()));
  EXPECT_EQ(usableCpuCount(0, {"100000 100000"}), 1u);
}

TEST(UsableCpuCount, ThisProcessFollowsItsAffinityMask) {
  const unsigned all = usableCpuCount();
  ASSERT_GE(all, 1u);
  cpu_set_t saved;
  ASSERT_EQ(::sched_getaffinity(0, sizeof saved, &saved), 0);
  int first = 0;
  while (!CPU_ISSET(first, &saved)) ++first;
  cpu_set_t one;
  CPU_ZERO(&one);
  CPU_SET(first, &one);
  ASSERT_EQ(::sched_setaffinity(0, sizeof one, &one), 0);
  const unsigned pinned = usableCpuCount();
  ASSERT_EQ(::sched_setaffinity(0, sizeof saved, &saved), 0);
  EXPECT_EQ(pinned, 1u);
}
