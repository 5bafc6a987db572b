#pragma once
// ICE server URLs and their addresses resolved for libnice, which takes numeric addresses only.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/webrtc/peer_connection.hpp"

namespace veltrano::webrtc {

enum class RelayTransport { udp, tcp, tls };

struct ResolvedStunServer {
  std::string address;
  std::uint16_t port = 3478;
};

struct ResolvedTurnServer {
  std::string address;
  std::uint16_t port = 3478;
  RelayTransport transport = RelayTransport::udp;
  std::string username;
  std::string credential;
};

struct ResolvedIceServers {
  std::vector<ResolvedStunServer> stun;
  std::vector<ResolvedTurnServer> turn;
};

struct IceServerUrl {
  enum class Scheme { stun, turn, turns } scheme = Scheme::stun;
  std::string host;
  std::uint16_t port = 3478;
  RelayTransport transport = RelayTransport::udp;
};

// Nothing when `url` is not a STUN or TURN address ("stun:host[:port]", "turn:host[:port][?transport=udp|tcp]",
// "turns:host[:port]"; IPv6 hosts in brackets).
std::optional<IceServerUrl> parseIceServerUrl(const std::string& url);

// False when some URL cannot be parsed or a TURN server lacks its username or credential.
bool iceServersValid(const std::vector<IceServer>& servers);

}  // namespace veltrano::webrtc
