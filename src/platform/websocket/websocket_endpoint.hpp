#pragma once
#include <optional>
#include <string_view>

#include "platform/http/https_endpoint.hpp"

namespace veltrano::platform {

// A WebSocket over TLS is reached like an HTTPS resource: host, port (443 by default) and the upgrade's path.
using WssEndpoint = HttpsEndpoint;

// Reads "wss://host[:port][/path]" with the rules of parseHttpsUrl; nullopt for any other scheme.
std::optional<WssEndpoint> parseWssUrl(std::string_view url);

}  // namespace veltrano::platform
