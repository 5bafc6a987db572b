#include "platform/net/network_path_snapshot.hpp"

#include <net/if.h>

#include <algorithm>

namespace veltrano::platform {

NetworkPath networkPathFrom(const RoutingTables& tables) {
  NetworkPath path;
  for (const auto& link : tables.links) {
    const bool usable = (link.flags & IFF_UP) && (link.flags & IFF_RUNNING) && !(link.flags & IFF_LOOPBACK);
    if (!usable) continue;
    NetworkInterface interface{link.name, link.index, link.type, {}};
    for (const auto& address : tables.addresses)
      if (address.index == link.index && address.global) interface.addresses.push_back(address.text);
    if (interface.addresses.empty()) continue;
    std::sort(interface.addresses.begin(), interface.addresses.end());
    path.availableInterfaces.push_back(std::move(interface));
  }
  std::sort(path.availableInterfaces.begin(), path.availableInterfaces.end(),
            [](const NetworkInterface& a, const NetworkInterface& b) { return a.index < b.index; });

  for (const auto& route : tables.defaultRoutes) {
    const auto carrier = std::find_if(path.availableInterfaces.begin(), path.availableInterfaces.end(),
                                      [&](const NetworkInterface& interface) { return interface.index == route.index; });
    if (carrier == path.availableInterfaces.end()) continue;
    const bool hasFamilyAddress = std::any_of(tables.addresses.begin(), tables.addresses.end(), [&](const auto& address) {
      return address.index == route.index && address.global && address.family == route.family;
    });
    if (!hasFamilyAddress) continue;
    path.status = NetworkPath::Status::satisfied;
    if (!path.usesInterfaceType(carrier->type)) path.usedInterfaceTypes.push_back(carrier->type);
    if (!route.gateway.empty()) path.gateways.push_back(route.gateway);
  }
  std::sort(path.usedInterfaceTypes.begin(), path.usedInterfaceTypes.end());
  std::sort(path.gateways.begin(), path.gateways.end());
  path.gateways.erase(std::unique(path.gateways.begin(), path.gateways.end()), path.gateways.end());
  path.isExpensive = path.usesInterfaceType(NetworkInterfaceType::cellular);
  return path;
}

}  // namespace veltrano::platform
