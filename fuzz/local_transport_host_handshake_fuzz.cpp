// Feeds arbitrary bytes to the host's handshake state machine. The first byte picks the channel
// and whether the harness sends a genuine ClientHello (so the fuzzer reaches the proof stage).
#include <cstddef>
#include <cstdint>

#include "base/encoding.hpp"
#include "platform/crypto/signing_key.hpp"
#include "transport/handshake_messages.hpp"
#include "transport/local_transport_client_handshake.hpp"
#include "transport/local_transport_host_handshake.hpp"
#include "transport/local_transport_security_error.hpp"

namespace {

using namespace veltrano;

const platform::SigningKey& accountKey() {
  static const platform::SigningKey key = platform::SigningKey::fromSeed(Bytes(32, 0x5A));
  return key;
}

ByteView take(ByteView& input, std::size_t count) {
  const std::size_t n = std::min(count, input.size());
  ByteView out = input.first(n);
  input = input.subspan(n);
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  ByteView input(data, size);
  const std::uint8_t control = take(input, 1)[0];
  const auto channel = static_cast<LocalTransportChannel>(control & 0x03);
  const bool genuineHello = (control & 0x04) != 0;
  // Message lengths off by a little, so wrong sizes are exercised as well.
  const std::size_t helloSize = handshake::clientHelloSize - ((control >> 3) & 0x01);
  const std::size_t proofSize = handshake::clientProofSize + ((control >> 4) & 0x01);

  handshake::Nonce hostNonce{};
  hostNonce.fill(0x02);
  LocalTransportHostHandshake host(channel, accountKey(), hostNonce);
  try {
    Bytes hello;
    if (genuineHello) {
      handshake::Nonce clientNonce{};
      const ByteView nonceBytes = take(input, clientNonce.size());
      std::copy(nonceBytes.begin(), nonceBytes.end(), clientNonce.begin());
      hello = LocalTransportClientHandshake(channel, accountKey(), clientNonce).clientHello();
    } else {
      const ByteView raw = take(input, helloSize);
      hello.assign(raw.begin(), raw.end());
    }
    const Bytes challenge = host.receiveClientHello(hello);
    if (challenge.size() != handshake::hostChallengeSize) __builtin_trap();
    const Bytes accept = host.receiveClientProof(take(input, proofSize));
    // Only the account key can make a proof that verifies; reaching here means a forgery.
    (void)accept;
    __builtin_trap();
  } catch (const LocalTransportSecurityError&) {
  }
  return 0;
}
