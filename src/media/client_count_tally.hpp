#pragma once
// Sums the client counts of servers that share one metric (the video servers of every display), so that one
// server's publication does not overwrite what the others reported. Main thread only.
#include <cstdint>
#include <unordered_map>

namespace veltrano {

class ClientCountTally {
 public:
  // Records `count` for `server` and returns the total over every server.
  std::int64_t update(const void* server, std::int64_t count) {
    counts_[server] = count;
    std::int64_t total = 0;
    for (const auto& [key, value] : counts_) total += value;
    return total;
  }

 private:
  std::unordered_map<const void*, std::int64_t> counts_;
};

}  // namespace veltrano
