// The main of the benchmark programs that need no set-up of their own: sets the allocator up as the host program
// does and owns the shared thread pools, so their threads are joined before the program exits.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <exception>

#include "base/thread_pools.hpp"
#include "platform/memory/allocator.hpp"

int main(int argc, char** argv) {
  veltrano::platform::returnLargeBlocksToSystem();
  veltrano::ThreadPools pools;
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  try {
    benchmark::RunSpecifiedBenchmarks();
  } catch (const std::exception& error) {
    std::fprintf(stderr, "%s\n", error.what());
    return 1;
  }
  benchmark::Shutdown();
  return 0;
}
