#include "remote/peer_signal_bodies.hpp"

#include <limits>

#include "base/json.hpp"

namespace veltrano {

namespace {

Bytes bytesOf(const json::Json& value) {
  const std::string text = json::dump(value);
  return Bytes(text.begin(), text.end());
}

std::optional<json::Json> parseObject(ByteView body) {
  json::ParseResult parsed = json::parseObjectOrArray(asString(body));
  if (!parsed.value || !parsed.value->is_object()) return std::nullopt;
  return std::move(parsed.value);
}

}  // namespace

Bytes encodeSessionDescriptionBody(const std::string& sdp) { return bytesOf(json::Json{{"sdp", sdp}}); }

std::optional<std::string> decodeSessionDescriptionBody(ByteView body) {
  const auto object = parseObject(body);
  if (!object) return std::nullopt;
  return json::stringMember(*object, "sdp");
}

Bytes encodeIceCandidateBody(const webrtc::IceCandidate& candidate) {
  json::Json object{{"sdp", candidate.sdp}, {"sdpMLineIndex", candidate.sdpMLineIndex}};
  if (candidate.sdpMid) object["sdpMid"] = *candidate.sdpMid;
  return bytesOf(object);
}

std::optional<webrtc::IceCandidate> decodeIceCandidateBody(ByteView body) {
  const auto object = parseObject(body);
  if (!object) return std::nullopt;
  const auto sdp = json::stringMember(*object, "sdp");
  const auto index = json::intMember(*object, "sdpMLineIndex");
  if (!sdp || !index || *index < std::numeric_limits<std::int32_t>::min() ||
      *index > std::numeric_limits<std::int32_t>::max()) {
    return std::nullopt;
  }
  webrtc::IceCandidate candidate{*sdp, static_cast<std::int32_t>(*index), std::nullopt};
  if (const json::Json* mid = json::findMember(*object, "sdpMid"); mid != nullptr && !mid->is_null()) {
    if (!mid->is_string()) return std::nullopt;
    candidate.sdpMid = mid->get<std::string>();
  }
  return candidate;
}

}  // namespace veltrano
