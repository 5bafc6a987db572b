#pragma once
// The JSON messages of the signaling WebSocket and the records the signaling client hands on.
// Decoding is strict: a known key of the wrong JSON type, or a nested record without a required key, fails the
// whole message; unknown keys are ignored; null counts as absent.
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "base/encoding.hpp"
#include "remote/signaling_ice_server.hpp"

namespace veltrano {

inline constexpr std::string_view signalingPath = "/veltrano/v1/signal";
inline constexpr std::int64_t signalingProtocolVersion = 1;

struct SignalingDevice {
  std::string deviceId;
  std::string deviceName;
  std::string role;
  bool operator==(const SignalingDevice&) const = default;
};

// One accepted incoming signal.
struct SignalingPayload {
  std::string fromDeviceID;
  std::string sessionID;
  std::string kind;
  Bytes data;
  std::uint64_t sequence = 0;
  bool operator==(const SignalingPayload&) const = default;
};

struct SignalingChallenge {
  std::string type;
  std::int64_t protocolVersion = 0;
  std::string nonce;
  std::int64_t issuedAt = 0;
  std::int64_t expiresAt = 0;
  // The type is "challenge", the version is ours and issuedAt lies before expiresAt.
  bool isAcceptable() const;
};

struct SignalingAuthentication {
  std::string accountId;
  std::string publicKey;
  std::string deviceId;
  std::string deviceName;
  std::string role;
  std::string nonce;
  std::string signature;
};

// Every server message after the challenge.
struct SignalingEnvelope {
  std::string type;
  std::optional<std::string> state;
  std::optional<SignalingDevice> device;
  std::optional<std::vector<SignalingDevice>> devices;
  std::optional<std::string> fromDeviceId;
  std::optional<std::string> sessionId;
  std::optional<std::string> kind;
  std::optional<std::string> payload;
  std::optional<std::string> signature;
  std::optional<std::uint64_t> sequence;
  std::optional<std::int64_t> sentAt;
  std::optional<std::string> code;
  std::optional<std::vector<SignalingICEServer>> iceServers;
};

struct SignalingOutgoingSignal {
  std::string toDeviceId;
  std::string sessionId;
  std::string kind;
  std::string payload;
  std::string signature;
  std::uint64_t sequence = 0;
  std::int64_t sentAt = 0;
};

// A message that is not JSON of the expected shape.
struct SignalingDecodingError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

SignalingChallenge decodeSignalingChallenge(ByteView message);
SignalingEnvelope decodeSignalingEnvelope(ByteView message);

std::string encodeSignalingAuthentication(const SignalingAuthentication& message);
std::string encodeSignalingOutgoingSignal(const SignalingOutgoingSignal& message);
// {"type":"ping"} and {"type":"iceServers"}.
std::string encodeSignalingTypeOnly(std::string_view type);

}  // namespace veltrano
