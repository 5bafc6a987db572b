#pragma once
// A snapshot of the computer's network path: whether a default route can carry traffic, the interfaces that are
// available and which kinds of them carry the default routes, and the routers those routes go through.
#include <string>
#include <string_view>
#include <vector>

namespace veltrano::platform {

enum class NetworkInterfaceType { wifi, cellular, wiredEthernet, other };

struct NetworkInterface {
  std::string name;
  int index = 0;
  NetworkInterfaceType type = NetworkInterfaceType::other;
  std::vector<std::string> addresses;  // global unicast addresses as text, sorted

  bool operator==(const NetworkInterface&) const = default;
};

struct NetworkPath {
  enum class Status { satisfied, unsatisfied };

  Status status = Status::unsatisfied;
  // Up, running, not loopback, with at least one global address; ordered by index.
  std::vector<NetworkInterface> availableInterfaces;
  // The types of the interfaces that carry a usable default route, in enumeration order.
  std::vector<NetworkInterfaceType> usedInterfaceTypes;
  // The routers of the usable default routes: "192.168.1.1", "fe80::1%wlan0"; sorted, no repeats.
  std::vector<std::string> gateways;
  bool isExpensive = false;    // a cellular interface carries a default route
  bool isConstrained = false;  // no low-data mode on this platform

  bool usesInterfaceType(NetworkInterfaceType type) const;
  bool operator==(const NetworkPath&) const = default;
};

std::string_view name(NetworkInterfaceType type);
// One line for logs and test failures.
std::string describe(const NetworkPath& path);

}  // namespace veltrano::platform
