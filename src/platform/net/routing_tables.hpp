#pragma once
// The kernel's links, addresses and default routes, read with rtnetlink dumps.
#include <cstdint>
#include <string>
#include <system_error>
#include <vector>

#include "platform/net/network_path.hpp"

namespace veltrano::platform {

struct RoutingTables {
  struct Link {
    int index = 0;
    std::string name;
    unsigned flags = 0;  // IFF_*
    NetworkInterfaceType type = NetworkInterfaceType::other;
  };
  struct Address {
    int index = 0;
    int family = 0;
    bool global = false;  // global scope, settled (not tentative, not a failed duplicate, not temporary)
    std::string text;
  };
  // A next hop of a unicast default route of the main table.
  struct DefaultRoute {
    int family = 0;
    int index = 0;        // output interface
    std::string gateway;  // empty for a route straight onto the link
  };

  std::vector<Link> links;
  std::vector<Address> addresses;
  std::vector<DefaultRoute> defaultRoutes;
};

// A NETLINK_ROUTE socket for dumps, in the calling thread's network namespace; -1 with `error` set on failure.
int openRoutingSocket(std::error_code& error);
// Dumps links, addresses and IPv4 and IPv6 routes through `socket`; throws std::system_error.
RoutingTables readRoutingTables(int socket);

}  // namespace veltrano::platform
