#pragma once
// Reduces the kernel's tables to the network path a program sees.
#include "platform/net/network_path.hpp"
#include "platform/net/routing_tables.hpp"

namespace veltrano::platform {

// Satisfied when a default route of the main table leaves through an available interface that has a global
// address of the route's family.
NetworkPath networkPathFrom(const RoutingTables& tables);

}  // namespace veltrano::platform
