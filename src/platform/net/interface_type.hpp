#pragma once
// The kind of a network interface, from its hardware type and what sysfs says of it.
#include <string>

#include "platform/net/network_path.hpp"

namespace veltrano::platform {

// `hardwareType` is the link's ARPHRD_* value.
NetworkInterfaceType interfaceType(const std::string& name, unsigned short hardwareType);

}  // namespace veltrano::platform
