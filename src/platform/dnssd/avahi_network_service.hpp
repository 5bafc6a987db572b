#pragma once
// NetworkService on the Avahi daemon, reached over the system D-Bus ($DBUS_SYSTEM_BUS_ADDRESS when set). Each
// service has a client thread of its own. The name is cut to one DNS label; a name already taken is replaced the
// way DNS-SD hosts do ("name #2", then "name #3", ...) and the delegate hears the replacement. Without a bus or a
// daemon the delegate hears didNotPublish at once. A daemon that goes away later (stopped or restarted) is
// reported as didNotPublish with AVAHI_ERR_DISCONNECTED; the service then waits for a daemon and, once one runs,
// publishes again and reports didPublish.
#include <cstdint>
#include <memory>
#include <string>

#include "platform/dnssd/network_service.hpp"

namespace veltrano::platform {

// Matches NetworkServiceFactory. Needs the main executor (base/executors.hpp) for the delegate's callbacks.
std::shared_ptr<NetworkService> makeAvahiNetworkService(const std::string& domain, const std::string& type,
                                                        const std::string& name, std::uint16_t port);

}  // namespace veltrano::platform
