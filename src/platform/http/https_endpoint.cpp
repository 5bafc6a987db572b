#include "platform/http/https_endpoint.hpp"

#include <boost/asio/ip/address.hpp>

#include <charconv>

namespace veltrano::platform {

namespace {

bool isUrlCharacter(char c) {
  if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) return true;
  std::string_view allowed = "-._~:/?#[]@!$&'()*+,;=%";
  return allowed.find(c) != std::string_view::npos;
}

}  // namespace

std::optional<HttpsEndpoint> parseHttpsUrl(std::string_view url) {
  constexpr std::string_view scheme = "https://";
  if (url.size() < scheme.size()) return std::nullopt;
  for (std::size_t i = 0; i < scheme.size(); ++i) {
    char c = url[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != scheme[i]) return std::nullopt;
  }
  for (char c : url) {
    if (!isUrlCharacter(c)) return std::nullopt;
  }
  auto rest = url.substr(scheme.size());
  auto pathStart = rest.find_first_of("/?#");
  auto authority = rest.substr(0, pathStart);
  std::string path = pathStart == std::string_view::npos ? "/" : std::string(rest.substr(pathStart));
  if (path.front() != '/') path.insert(path.begin(), '/');
  if (auto fragment = path.find('#'); fragment != std::string::npos) path.erase(fragment);
  if (authority.find('@') != std::string_view::npos) return std::nullopt;

  HttpsEndpoint endpoint;
  endpoint.path = path;
  std::string_view host;
  std::string_view portText;
  if (!authority.empty() && authority.front() == '[') {
    auto close = authority.find(']');
    if (close == std::string_view::npos) return std::nullopt;
    host = authority.substr(1, close - 1);
    auto after = authority.substr(close + 1);
    if (!after.empty()) {
      if (after.front() != ':') return std::nullopt;
      portText = after.substr(1);
    }
  } else {
    auto colon = authority.find(':');
    host = authority.substr(0, colon);
    if (colon != std::string_view::npos) portText = authority.substr(colon + 1);
  }
  if (host.empty()) return std::nullopt;
  if (host.find_first_of("[]") != std::string_view::npos) return std::nullopt;
  endpoint.host = std::string(host);
  if (!portText.empty()) {
    unsigned value = 0;
    auto [end, ec] = std::from_chars(portText.data(), portText.data() + portText.size(), value);
    if (ec != std::errc() || end != portText.data() + portText.size() || value == 0 || value > 65535) {
      return std::nullopt;
    }
    endpoint.port = static_cast<std::uint16_t>(value);
  } else if (authority.ends_with(":")) {
    return std::nullopt;
  }
  return endpoint;
}

bool isIpLiteral(const std::string& host) {
  boost::system::error_code ec;
  boost::asio::ip::make_address(host, ec);
  return !ec;
}

std::string hostHeaderValue(const HttpsEndpoint& endpoint) {
  std::string host = endpoint.host.find(':') != std::string::npos ? "[" + endpoint.host + "]" : endpoint.host;
  if (endpoint.port != 443) host += ":" + std::to_string(endpoint.port);
  return host;
}

}  // namespace veltrano::platform
