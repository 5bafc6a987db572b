#pragma once
// The few fields of a sequence parameter set that describe the stream to a container.
#include <cstdint>
#include <optional>
#include <span>

namespace veltrano::platform {

struct SpsSummary {
  std::uint8_t profileIdc = 0;
  std::uint8_t constraintFlags = 0;  // the "profile compatibility" byte
  std::uint8_t levelIdc = 0;
  std::uint32_t chromaFormatIdc = 1;  // 4:2:0 unless a High profile says otherwise
  std::uint32_t bitDepthLumaMinus8 = 0;
  std::uint32_t bitDepthChromaMinus8 = 0;
};

// Reads an SPS NAL unit (header byte included, emulation prevention bytes allowed). nullopt when it is not an SPS or
// ends early.
std::optional<SpsSummary> parseSpsSummary(std::span<const std::uint8_t> nal);

}  // namespace veltrano::platform
