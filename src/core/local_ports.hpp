#pragma once
// The ports the host listens on unless told otherwise: the servers, the model and the window all take them from here.
#include <cstdint>

namespace veltrano::localPorts {

inline constexpr std::uint16_t control = 9090;
inline constexpr std::uint16_t video = 9091;  // reported while the active display has no session
inline constexpr std::uint16_t audio = 9092;
inline constexpr std::uint16_t file = 9093;

}  // namespace veltrano::localPorts
