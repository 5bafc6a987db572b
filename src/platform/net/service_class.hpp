#pragma once
#include <cstdint>
#include <string_view>

namespace veltrano::platform {

// How the network should treat a connection's traffic. Carried in the DSCP bits of every packet.
enum class ServiceClass {
  bestEffort,
  background,
  responsiveData,
  interactiveVideo,
  interactiveVoice,
};

// The IPv4 TOS / IPv6 traffic-class byte (DSCP shifted left by 2, ECN bits clear).
std::uint8_t trafficClassByte(ServiceClass serviceClass);
std::string_view name(ServiceClass serviceClass);

}  // namespace veltrano::platform
