#pragma once
// The machine's one-minute load average as /proc/loadavg writes it, printed beside benchmark figures.
#include <fstream>
#include <string>

namespace veltrano::bench {

inline std::string loadAverage() {
  std::ifstream in("/proc/loadavg");
  std::string one;
  in >> one;
  return one;
}

}  // namespace veltrano::bench
