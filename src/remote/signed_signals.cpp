#include "remote/signed_signals.hpp"

#include <initializer_list>

#include "base/encoding.hpp"

namespace veltrano {

namespace {

std::string joinedLines(std::initializer_list<std::string_view> lines) {
  std::string text;
  bool first = true;
  for (std::string_view line : lines) {
    if (!first) text += '\n';
    first = false;
    text += line;
  }
  return text;
}

}  // namespace

std::string signalingAuthenticationText(const std::string& nonce, const std::string& accountID,
                                        const std::string& deviceID, const std::string& role, std::int64_t issuedAt) {
  const std::string issued = std::to_string(issuedAt);
  return joinedLines({"VELTRANO-AUTH-V1", nonce, accountID, deviceID, role, issued});
}

std::string signalingSignalText(const std::string& fromDeviceID, const std::string& toDeviceID,
                                const std::string& sessionID, const std::string& kind, const std::string& payload,
                                std::uint64_t sequence, std::int64_t sentAt) {
  const std::string sequenceText = std::to_string(sequence);
  const std::string sentAtText = std::to_string(sentAt);
  return joinedLines(
      {"VELTRANO-SIGNAL-V1", fromDeviceID, toDeviceID, sessionID, kind, payload, sequenceText, sentAtText});
}

SignalingAuthentication makeSignalingAuthentication(const VeltranoIdentity& identity,
                                                    const SignalingChallenge& challenge, const std::string& deviceID,
                                                    const std::string& deviceName, const std::string& role) {
  const auto& key = identity.privateKey();
  const std::string text =
      signalingAuthenticationText(challenge.nonce, identity.accountID(), deviceID, role, challenge.issuedAt);
  const auto signature = key.sign(asBytes(text));
  return SignalingAuthentication{identity.accountID(), base64urlEncode(key.publicKey()), deviceID, deviceName, role,
                                 challenge.nonce,      base64urlEncode(signature)};
}

SignalingOutgoingSignal makeSignalingOutgoingSignal(const VeltranoIdentity& identity, const std::string& fromDeviceID,
                                                    const std::string& toDeviceID, const std::string& sessionID,
                                                    const std::string& kind, ByteView data, std::uint64_t sequence,
                                                    std::int64_t sentAt) {
  SignalingOutgoingSignal signal;
  signal.toDeviceId = toDeviceID;
  signal.sessionId = sessionID;
  signal.kind = kind;
  signal.payload = base64urlEncode(identity.sealSignalingPayload(data));
  signal.sequence = sequence;
  signal.sentAt = sentAt;
  const std::string text = signalingSignalText(fromDeviceID, toDeviceID, sessionID, kind, signal.payload, sequence,
                                               sentAt);
  signal.signature = base64urlEncode(identity.privateKey().sign(asBytes(text)));
  return signal;
}

std::uint64_t SignalReplayTable::lastSequence(const Key& key) const {
  auto found = sequences_.find(key);
  return found == sequences_.end() ? 0 : found->second;
}

void SignalReplayTable::record(const Key& key, std::uint64_t sequence) { sequences_[key] = sequence; }

std::optional<SignalingPayload> acceptSignal(const SignalingEnvelope& envelope, const VeltranoIdentity& identity,
                                             const std::string& ownDeviceID, SignalReplayTable& replayTable) {
  if (!envelope.fromDeviceId || !envelope.sessionId || !envelope.kind || !envelope.payload || !envelope.signature ||
      !envelope.sequence || !envelope.sentAt) {
    return std::nullopt;
  }
  auto sealed = base64urlDecode(*envelope.payload, Base64urlDecoding::lenient);
  if (!sealed) return std::nullopt;
  auto signature = base64urlDecode(*envelope.signature, Base64urlDecoding::lenient);
  if (!signature) return std::nullopt;
  SignalReplayTable::Key key{*envelope.fromDeviceId, *envelope.sessionId};
  if (*envelope.sequence <= replayTable.lastSequence(key)) return std::nullopt;
  const std::string text = signalingSignalText(*envelope.fromDeviceId, ownDeviceID, *envelope.sessionId,
                                               *envelope.kind, *envelope.payload, *envelope.sequence, *envelope.sentAt);
  if (!identity.privateKey().verify(asBytes(text), *signature)) return std::nullopt;
  // Recorded before opening: a signal that fails to open is not accepted again after the reconnect.
  replayTable.record(key, *envelope.sequence);
  auto plaintext = identity.openSignalingPayload(*sealed);
  if (!plaintext) throw SignalingPayloadError("the signal's payload could not be opened");
  return SignalingPayload{std::move(key.first), std::move(key.second), *envelope.kind, std::move(*plaintext),
                          *envelope.sequence};
}

}  // namespace veltrano
