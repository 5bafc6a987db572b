#include "remote/ice_server_list.hpp"

#include <cstdlib>

#include <algorithm>
#include <cctype>
#include <string_view>

namespace veltrano {

namespace {

bool isTurnsURL(std::string_view url) {
  constexpr std::string_view scheme = "turns:";
  return url.size() >= scheme.size() && std::equal(scheme.begin(), scheme.end(), url.begin(), [](char a, char b) {
           return a == std::tolower(static_cast<unsigned char>(b));
         });
}

webrtc::IceServer makeIceServer(const SignalingICEServer& server) {
  webrtc::IceServer made;
  made.urls = server.urls;
  made.username = server.username;
  made.credential = server.credential;
  if (std::any_of(server.urls.begin(), server.urls.end(), [](const std::string& url) { return isTurnsURL(url); })) {
    made.verifyTlsCertificate = false;
    made.tlsAlpnProtocols = {"stun.turn"};
  }
  return made;
}

std::string configuredText(const char* variable, const char* built) {
  const char* configured = std::getenv(variable);
  return configured && *configured ? configured : built;
}

}  // namespace

const std::vector<std::string>& defaultStunURLs() {
  // The environment variables of the build options' names point an installed program at other servers.
  static const std::vector<std::string> urls{configuredText("VELTRANO_DEFAULT_STUN_URL_1", VELTRANO_DEFAULT_STUN_URL_1),
                                             configuredText("VELTRANO_DEFAULT_STUN_URL_2", VELTRANO_DEFAULT_STUN_URL_2)};
  return urls;
}

std::vector<webrtc::IceServer> makeIceServers(const std::vector<SignalingICEServer>& servers) {
  if (servers.empty()) return {makeIceServer(SignalingICEServer{defaultStunURLs(), std::nullopt, std::nullopt})};
  std::vector<webrtc::IceServer> made;
  made.reserve(servers.size());
  for (const SignalingICEServer& server : servers) made.push_back(makeIceServer(server));
  return made;
}

}  // namespace veltrano
