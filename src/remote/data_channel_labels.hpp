#pragma once
// The labels of the data channels a remote session uses.
#include <cstdint>
#include <string>
#include <string_view>

namespace veltrano {

inline constexpr std::string_view controlChannelLabel = "veltrano.control";
inline constexpr std::string_view inputChannelLabel = "veltrano.input";
inline constexpr std::string_view audioChannelLabel = "veltrano.audio";
inline constexpr std::string_view fileChannelLabel = "veltrano.file";

// The channel that carries one display's video.
inline std::string videoChannelLabel(std::uint32_t displayID) { return "veltrano.video." + std::to_string(displayID); }

}  // namespace veltrano
