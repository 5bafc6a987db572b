#include "core/network_interfaces.hpp"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>

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

}  // namespace veltrano
