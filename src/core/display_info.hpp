#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

namespace veltrano {

// One capturable display. `videoPort` is 0 while the display has no video server.
struct DisplayInfo {
  std::uint32_t id = 0;
  std::string name;
  std::int64_t width = 0;   // pixels
  std::int64_t height = 0;  // pixels
  std::uint16_t videoPort = 0;

  bool operator==(const DisplayInfo&) const = default;
};

}  // namespace veltrano

template <>
struct std::hash<veltrano::DisplayInfo> {
  std::size_t operator()(const veltrano::DisplayInfo& display) const noexcept;
};
