#include "platform/memory/allocator.hpp"

#include <malloc.h>
#include <unistd.h>

#include <fstream>

namespace veltrano::platform {

namespace {
constexpr int kLargeBlockBytes = 1 << 20;
}  // namespace

void returnLargeBlocksToSystem() {
  // A fixed threshold also turns off glibc's dynamic one, which rises to the size of the largest mapped block freed
  // (up to 32 MiB) and so moves every later frame buffer into the heaps.
  ::mallopt(M_MMAP_THRESHOLD, kLargeBlockBytes);
}

void releaseFreedMemory() { ::malloc_trim(0); }

std::uint64_t residentBytes() {
  std::ifstream statm("/proc/self/statm");
  std::uint64_t size = 0;
  std::uint64_t resident = 0;
  statm >> size >> resident;
  return resident * static_cast<std::uint64_t>(::sysconf(_SC_PAGESIZE));
}

}  // namespace veltrano::platform
