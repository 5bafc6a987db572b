#pragma once
// Runs the benchmarks the command line selects; an exception from one ends the program with its message.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <exception>

namespace veltrano::bench {

inline int runBenchmarks(int argc, char** argv) {
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

}  // namespace veltrano::bench
