#include "platform/webrtc/ice_servers.hpp"

#include <charconv>
#include <string_view>

namespace veltrano::webrtc {
namespace {

std::optional<std::uint16_t> parsePort(std::string_view text) {
  unsigned value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size() || value == 0 || value > 65535) return std::nullopt;
  return static_cast<std::uint16_t>(value);
}

}  // namespace

std::optional<IceServerUrl> parseIceServerUrl(const std::string& url) {
  IceServerUrl parsed;
  std::string_view rest = url;
  const auto colon = rest.find(':');
  if (colon == std::string_view::npos) return std::nullopt;
  const auto scheme = rest.substr(0, colon);
  if (scheme == "stun") {
    parsed.scheme = IceServerUrl::Scheme::stun;
  } else if (scheme == "turn") {
    parsed.scheme = IceServerUrl::Scheme::turn;
  } else if (scheme == "turns") {
    parsed.scheme = IceServerUrl::Scheme::turns;
    parsed.transport = RelayTransport::tls;
    parsed.port = 5349;
  } else {
    return std::nullopt;
  }
  rest.remove_prefix(colon + 1);
  if (const auto query = rest.find('?'); query != std::string_view::npos) {
    const auto option = rest.substr(query + 1);
    rest = rest.substr(0, query);
    if (parsed.scheme != IceServerUrl::Scheme::turn) return std::nullopt;
    if (option == "transport=udp") {
      parsed.transport = RelayTransport::udp;
    } else if (option == "transport=tcp") {
      parsed.transport = RelayTransport::tcp;
    } else {
      return std::nullopt;
    }
  }
  std::string_view portText;
  if (rest.starts_with('[')) {
    const auto close = rest.find(']');
    if (close == std::string_view::npos) return std::nullopt;
    parsed.host = std::string(rest.substr(1, close - 1));
    rest.remove_prefix(close + 1);
    if (!rest.empty()) {
      if (!rest.starts_with(':')) return std::nullopt;
      portText = rest.substr(1);
    }
  } else {
    const auto portColon = rest.find(':');
    parsed.host = std::string(rest.substr(0, portColon));
    if (portColon != std::string_view::npos) portText = rest.substr(portColon + 1);
  }
  if (parsed.host.empty()) return std::nullopt;
  if (!portText.empty() || rest.ends_with(':')) {
    const auto port = parsePort(portText);
    if (!port) return std::nullopt;
    parsed.port = *port;
  }
  return parsed;
}

bool iceServersValid(const std::vector<IceServer>& servers) {
  for (const auto& server : servers) {
    for (const auto& url : server.urls) {
      const auto parsed = parseIceServerUrl(url);
      if (!parsed) return false;
      if (parsed->scheme != IceServerUrl::Scheme::stun && (!server.username || !server.credential)) return false;
    }
  }
  return true;
}

}  // namespace veltrano::webrtc
