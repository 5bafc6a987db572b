// The main of the benchmark programs that need no set-up of their own: owns the shared thread pools, so their
// threads are joined before the program exits.
#include <benchmark/benchmark.h>

#include "base/thread_pools.hpp"

int main(int argc, char** argv) {
  veltrano::ThreadPools pools;
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
