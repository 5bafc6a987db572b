#pragma once
// How a remote peer is reached. Lives here because the route log line below is written by core.
#include <optional>
#include <string_view>

namespace veltrano {

enum class WebRTCRoute { lan, direct, relay };

// "lan", "direct" or "relay".
std::string_view routeName(WebRTCRoute route);
// The route named exactly "lan", "direct" or "relay"; nothing for any other text.
std::optional<WebRTCRoute> routeFromName(std::string_view name);

}  // namespace veltrano
