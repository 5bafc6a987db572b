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

}  // namespace veltrano
