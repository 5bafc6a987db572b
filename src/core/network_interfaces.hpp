#pragma once
#include <string>
#include <vector>

namespace veltrano {

// One address of one network interface, as the system lists them.
struct InterfaceAddress {
  std::string interfaceName;
  bool isUp = false;
  bool isRunning = false;
  bool isLoopback = false;
  bool isIPv4 = false;
  std::string address;  // numeric text; empty for families other than IPv4 and IPv6
};

// The addresses of every interface, in the system's order (getifaddrs); empty when the list cannot be read.
std::vector<InterfaceAddress> systemInterfaceAddresses();

// The network an interface address belongs to: the address and the length of its network prefix.
struct InterfaceSubnet {
  std::string address;  // numeric IPv4 or IPv6 text
  int prefixLength = 0;
  bool operator==(const InterfaceSubnet&) const = default;
};

// The subnets of every IPv4 and IPv6 address of an interface that is up; empty when the list cannot be read.
std::vector<InterfaceSubnet> systemInterfaceSubnets();

}  // namespace veltrano
