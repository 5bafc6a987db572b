#include "remote/data_channel_send_budget.hpp"

#include <algorithm>

#include "remote/data_channel_labels.hpp"

namespace veltrano {

std::uint64_t sendLimit(std::string_view label) {
  if (label == controlChannelLabel) return 2 * 1024 * 1024;
  if (label == inputChannelLabel) return 64 * 1024;
  if (label == audioChannelLabel) return 256 * 1024;
  return 512 * 1024;
}

bool fitsSendBudget(std::string_view label, std::uint64_t bufferedAmount, std::uint64_t wireSize) {
  constexpr std::uint64_t alwaysAccepted = 32 * 1024;
  return bufferedAmount + wireSize <= std::max(wireSize + alwaysAccepted, sendLimit(label));
}

}  // namespace veltrano
