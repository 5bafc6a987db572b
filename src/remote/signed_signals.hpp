#pragma once
// The signed texts of the signaling protocol, the sealing of signal payloads, and the acceptance of incoming
// signals with their replay table. Every device of the account holds the same key pair, so signatures are
// checked against our own public key and payloads open with our own signaling key.
#include <cstdint>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>

#include "remote/signaling_messages.hpp"
#include "transport/veltrano_identity.hpp"

namespace veltrano {

std::string signalingAuthenticationText(const std::string& nonce, const std::string& accountID,
                                        const std::string& deviceID, const std::string& role, std::int64_t issuedAt);

std::string signalingSignalText(const std::string& fromDeviceID, const std::string& toDeviceID,
                                const std::string& sessionID, const std::string& kind, const std::string& payload,
                                std::uint64_t sequence, std::int64_t sentAt);

SignalingAuthentication makeSignalingAuthentication(const VeltranoIdentity& identity,
                                                    const SignalingChallenge& challenge, const std::string& deviceID,
                                                    const std::string& deviceName, const std::string& role);

// Seals `data` under the signaling key and signs the signal text with `fromDeviceID` as sender.
SignalingOutgoingSignal makeSignalingOutgoingSignal(const VeltranoIdentity& identity, const std::string& fromDeviceID,
                                                    const std::string& toDeviceID, const std::string& sessionID,
                                                    const std::string& kind, ByteView data, std::uint64_t sequence,
                                                    std::int64_t sentAt);

// The highest sequence accepted per (sender device, session).
class SignalReplayTable {
 public:
  using Key = std::pair<std::string, std::string>;

  // 0 when nothing was recorded, so a sequence of 0 is never newer.
  std::uint64_t lastSequence(const Key& key) const;
  void record(const Key& key, std::uint64_t sequence);
  void clear() { sequences_.clear(); }
  std::size_t size() const { return sequences_.size(); }

 private:
  std::map<Key, std::uint64_t> sequences_;
};

// A signal that passed its signature but whose sealed payload does not open.
struct SignalingPayloadError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// Applies the acceptance steps in order: all keys present, payload and signature decode, newer than the replay
// table, signature valid for us as target, sequence recorded, payload opened. nullopt when the signal is dropped;
// throws SignalingPayloadError when the payload does not open (its sequence stays recorded).
std::optional<SignalingPayload> acceptSignal(const SignalingEnvelope& envelope, const VeltranoIdentity& identity,
                                             const std::string& ownDeviceID, SignalReplayTable& replayTable);

}  // namespace veltrano
