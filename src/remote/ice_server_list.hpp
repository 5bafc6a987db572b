#pragma once
// The ICE servers a peer connection is configured with, from the list the signaling service gives.
#include <vector>

#include "platform/webrtc/peer_connection.hpp"
#include "remote/signaling_ice_server.hpp"

namespace veltrano {

// The two STUN URLs used when the service lists no server (build-time options).
const std::vector<std::string>& defaultStunURLs();

// One peer server per listed server, in order; an empty list gives one server with the default STUN URLs.
// A server with a "turns:" URL (any letter case) skips the certificate check and offers the ALPN "stun.turn".
std::vector<webrtc::IceServer> makeIceServers(const std::vector<SignalingICEServer>& servers);

}  // namespace veltrano
