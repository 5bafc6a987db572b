#include "platform/net/network_path.hpp"

#include <algorithm>

namespace veltrano::platform {

bool NetworkPath::usesInterfaceType(NetworkInterfaceType type) const {
  return std::find(usedInterfaceTypes.begin(), usedInterfaceTypes.end(), type) != usedInterfaceTypes.end();
}

std::string_view name(NetworkInterfaceType type) {
  switch (type) {
    case NetworkInterfaceType::wifi: return "wifi";
    case NetworkInterfaceType::cellular: return "cellular";
    case NetworkInterfaceType::wiredEthernet: return "wiredEthernet";
    case NetworkInterfaceType::other: return "other";
  }
  return "other";
}

std::string describe(const NetworkPath& path) {
  std::string text = path.status == NetworkPath::Status::satisfied ? "satisfied" : "unsatisfied";
  text += " uses [";
  for (std::size_t i = 0; i < path.usedInterfaceTypes.size(); ++i) {
    if (i > 0) text += ",";
    text += name(path.usedInterfaceTypes[i]);
  }
  text += "] interfaces [";
  for (std::size_t i = 0; i < path.availableInterfaces.size(); ++i) {
    const auto& interface = path.availableInterfaces[i];
    if (i > 0) text += " ";
    text += interface.name + ":" + std::to_string(interface.index) + "(" + std::string(name(interface.type));
    for (const auto& address : interface.addresses) text += " " + address;
    text += ")";
  }
  text += "] gateways [";
  for (std::size_t i = 0; i < path.gateways.size(); ++i) {
    if (i > 0) text += " ";
    text += path.gateways[i];
  }
  text += "]";
  if (path.isExpensive) text += " expensive";
  if (path.isConstrained) text += " constrained";
  return text;
}

}  // namespace veltrano::platform
