#pragma once
// How many CPUs this process may keep busy: what thread pools are sized from. The machine's CPU count overstates
// it when the process is pinned to a few CPUs (taskset, a container's cpuset) or its cgroup has a CPU quota.
#include <string>
#include <vector>

namespace veltrano {

// The CPUs in this thread's affinity mask, capped by the CPU quota of its cgroup v2 and every cgroup above it.
// At least 1.
unsigned usableCpuCount();

// The same from given inputs: `affinityCpus` CPUs in the mask (0 when unknown) and the text of each cpu.max
// file on the way from the process's cgroup to the root ("max 100000" or "QUOTA PERIOD" in microseconds).
// A quota allows its share rounded up; unreadable texts are ignored.
unsigned usableCpuCount(unsigned affinityCpus, const std::vector<std::string>& cpuMaxTexts);

}  // namespace veltrano
