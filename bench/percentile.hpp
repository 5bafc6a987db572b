#pragma once
// The value at fraction `q` of the sorted figures (the nearest rank), 0 for none.
#include <algorithm>
#include <cstddef>
#include <vector>

namespace veltrano::bench {

inline double percentile(std::vector<double> values, double q) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  const auto rank = static_cast<std::size_t>(q * static_cast<double>(values.size() - 1) + 0.5);
  return values[std::min(values.size() - 1, rank)];
}

}  // namespace veltrano::bench
