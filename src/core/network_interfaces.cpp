#include "core/network_interfaces.hpp"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>

#include <bit>

namespace veltrano {

std::vector<InterfaceAddress> systemInterfaceAddresses() {
  std::vector<InterfaceAddress> result;
  ifaddrs* list = nullptr;
  if (getifaddrs(&list) != 0) return result;
  for (ifaddrs* entry = list; entry != nullptr; entry = entry->ifa_next) {
    InterfaceAddress item;
    item.interfaceName = entry->ifa_name ? entry->ifa_name : "";
    item.isUp = (entry->ifa_flags & IFF_UP) != 0;
    item.isRunning = (entry->ifa_flags & IFF_RUNNING) != 0;
    item.isLoopback = (entry->ifa_flags & IFF_LOOPBACK) != 0;
    if (entry->ifa_addr != nullptr) {
      char text[INET6_ADDRSTRLEN] = {};
      if (entry->ifa_addr->sa_family == AF_INET) {
        item.isIPv4 = true;
        auto* in = reinterpret_cast<const sockaddr_in*>(entry->ifa_addr);
        if (inet_ntop(AF_INET, &in->sin_addr, text, sizeof text)) item.address = text;
      } else if (entry->ifa_addr->sa_family == AF_INET6) {
        auto* in6 = reinterpret_cast<const sockaddr_in6*>(entry->ifa_addr);
        if (inet_ntop(AF_INET6, &in6->sin6_addr, text, sizeof text)) item.address = text;
      }
    }
    result.push_back(std::move(item));
  }
  freeifaddrs(list);
  return result;
}

namespace {

int prefixLength(const unsigned char* mask, std::size_t size) {
  int bits = 0;
  for (std::size_t i = 0; i < size; ++i) bits += std::popcount(static_cast<unsigned>(mask[i]));
  return bits;
}

}  // namespace

std::vector<InterfaceSubnet> systemInterfaceSubnets() {
  std::vector<InterfaceSubnet> result;
  ifaddrs* list = nullptr;
  if (getifaddrs(&list) != 0) return result;
  for (ifaddrs* entry = list; entry != nullptr; entry = entry->ifa_next) {
    if (entry->ifa_addr == nullptr || entry->ifa_netmask == nullptr || (entry->ifa_flags & IFF_UP) == 0) continue;
    char text[INET6_ADDRSTRLEN] = {};
    if (entry->ifa_addr->sa_family == AF_INET) {
      auto* in = reinterpret_cast<const sockaddr_in*>(entry->ifa_addr);
      auto* mask = reinterpret_cast<const sockaddr_in*>(entry->ifa_netmask);
      if (!inet_ntop(AF_INET, &in->sin_addr, text, sizeof text)) continue;
      result.push_back({text, prefixLength(reinterpret_cast<const unsigned char*>(&mask->sin_addr), 4)});
    } else if (entry->ifa_addr->sa_family == AF_INET6) {
      auto* in6 = reinterpret_cast<const sockaddr_in6*>(entry->ifa_addr);
      auto* mask = reinterpret_cast<const sockaddr_in6*>(entry->ifa_netmask);
      if (!inet_ntop(AF_INET6, &in6->sin6_addr, text, sizeof text)) continue;
      result.push_back({text, prefixLength(mask->sin6_addr.s6_addr, 16)});
    }
  }
  freeifaddrs(list);
  return result;
}

}  // namespace veltrano
