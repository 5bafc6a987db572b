// Feeds the input to the acceptance of incoming signals twice: decoded as a relayed "signal" message, and as the
// sealed payload of a signal whose signature is valid, so that opening sees arbitrary boxes.
#include <cstddef>
#include <cstdint>

#include "base/encoding.hpp"
#include "remote/signaling_messages.hpp"
#include "remote/signed_signals.hpp"

using namespace veltrano;

namespace {

const VeltranoIdentity& accountIdentity() {
  static const VeltranoIdentity identity = [] {
    Bytes seed(32);
    for (std::size_t i = 0; i < seed.size(); ++i) seed[i] = static_cast<std::uint8_t>(i);
    return VeltranoIdentity(platform::SigningKey::fromSeed(seed));
  }();
  return identity;
}

void accept(const SignalingEnvelope& envelope) {
  SignalReplayTable table;
  try {
    const auto payload = acceptSignal(envelope, accountIdentity(), "mac-1", table);
    // Whatever is handed on was recorded first.
    if (payload && table.lastSequence({payload->fromDeviceID, payload->sessionID}) != payload->sequence) {
      __builtin_trap();
    }
  } catch (const SignalingPayloadError&) {
    if (table.size() != 1) __builtin_trap();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const ByteView bytes(data, size);
  try {
    accept(decodeSignalingEnvelope(bytes));
  } catch (const SignalingDecodingError&) {
  }

  SignalingEnvelope signed_;
  signed_.type = "signal";
  signed_.fromDeviceId = "ipad-1";
  signed_.sessionId = "s1";
  signed_.kind = "offer";
  signed_.payload = base64urlEncode(bytes);
  signed_.sequence = 1;
  signed_.sentAt = 0;
  const std::string text = signalingSignalText("ipad-1", "mac-1", "s1", "offer", *signed_.payload, 1, 0);
  signed_.signature = base64urlEncode(accountIdentity().privateKey().sign(asBytes(text)));
  accept(signed_);
  return 0;
}
