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

// True for an IPv4 or IPv6 address, which TLS may not name in SNI.
bool isIpLiteral(const std::string& host);
// The Host header's value: IPv6 in brackets, the port only when it is not 443.
std::string hostHeaderValue(const HttpsEndpoint& endpoint);

}  // namespace veltrano::platform
