#include "platform/websocket/websocket_endpoint.hpp"

#include <string>

namespace veltrano::platform {

std::optional<WssEndpoint> parseWssUrl(std::string_view url) {
  constexpr std::string_view scheme = "wss://";
  if (url.size() < scheme.size()) return std::nullopt;
  for (std::size_t i = 0; i < scheme.size(); ++i) {
    char c = url[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != scheme[i]) return std::nullopt;
  }
  // Everything after the scheme follows the HTTPS rules, so one parser serves both.
  return parseHttpsUrl("https://" + std::string(url.substr(scheme.size())));
}

}  // namespace veltrano::platform
