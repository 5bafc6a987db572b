#pragma once
// The JSON bodies of peer signals: {"sdp"} for an offer or an answer, {"sdp", "sdpMLineIndex", "sdpMid"} for a
// candidate. The signal's kind travels beside the body, never inside it.
#include <optional>
#include <string>

#include "base/encoding.hpp"
#include "platform/webrtc/peer_connection.hpp"

namespace veltrano {

Bytes encodeSessionDescriptionBody(const std::string& sdp);
// The SDP text; nothing unless the body is an object with a string "sdp".
std::optional<std::string> decodeSessionDescriptionBody(ByteView body);

// Leaves "sdpMid" out when the candidate has none.
Bytes encodeIceCandidateBody(const webrtc::IceCandidate& candidate);
// Needs a string "sdp" and an integer "sdpMLineIndex" within 32 signed bits; "sdpMid" may be missing or null.
std::optional<webrtc::IceCandidate> decodeIceCandidateBody(ByteView body);

}  // namespace veltrano
