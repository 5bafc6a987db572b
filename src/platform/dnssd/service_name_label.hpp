#pragma once
// A DNS-SD instance name is one DNS label: at most 63 bytes of UTF-8.
#include <cstddef>
#include <string>
#include <string_view>

namespace veltrano::platform {

inline constexpr std::size_t maxServiceNameBytes = 63;

// `name` cut to at most `maxBytes` bytes without splitting a UTF-8 character.
std::string serviceNameLabel(std::string_view name, std::size_t maxBytes = maxServiceNameBytes);

}  // namespace veltrano::platform
