#include "core/display_info.hpp"

#include <functional>

namespace {

void combine(std::size_t& seed, std::size_t value) {
  seed ^= value + 0x9e3779b97f4a7c15ULL + (seed << 6) + (seed >> 2);
}

}  // namespace

std::size_t std::hash<veltrano::DisplayInfo>::operator()(const veltrano::DisplayInfo& display) const noexcept {
  std::size_t seed = 0;
  combine(seed, std::hash<std::uint32_t>{}(display.id));
  combine(seed, std::hash<std::string>{}(display.name));
  combine(seed, std::hash<std::int64_t>{}(display.width));
  combine(seed, std::hash<std::int64_t>{}(display.height));
  combine(seed, std::hash<std::uint16_t>{}(display.videoPort));
  return seed;
}
