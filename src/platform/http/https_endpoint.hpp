#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace veltrano::platform {

// Where an HTTPS request goes.
struct HttpsEndpoint {
  std::string host;  // a name or an IP literal (IPv6 without brackets)
  std::uint16_t port = 443;
  std::string path = "/";
  bool operator==(const HttpsEndpoint&) const = default;
};

// Reads "https://host[:port][/path]"; nullopt for another scheme, an empty host, a bad port, user info,
// or characters that do not belong in a URL.
std::optional<HttpsEndpoint> parseHttpsUrl(std::string_view url);

}  // namespace veltrano::platform
