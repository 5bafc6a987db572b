#include "core/webrtc_route.hpp"

namespace veltrano {

std::string_view routeName(WebRTCRoute route) {
  switch (route) {
    case WebRTCRoute::lan: return "lan";
    case WebRTCRoute::direct: return "direct";
    case WebRTCRoute::relay: return "relay";
  }
  return "relay";
}

std::optional<WebRTCRoute> routeFromName(std::string_view name) {
  for (const WebRTCRoute route : {WebRTCRoute::lan, WebRTCRoute::direct, WebRTCRoute::relay}) {
    if (routeName(route) == name) return route;
  }
  return std::nullopt;
}

}  // namespace veltrano
