// The main of the benchmark programs that need no set-up of their own: sets the allocator up as the host program
// does and owns the shared thread pools, so their threads are joined before the program exits.
#include "base/thread_pools.hpp"
#include "platform/memory/allocator.hpp"
#include "run_benchmarks.hpp"

int main(int argc, char** argv) {
  veltrano::platform::returnLargeBlocksToSystem();
  veltrano::ThreadPools pools;
  return veltrano::bench::runBenchmarks(argc, argv);
}
