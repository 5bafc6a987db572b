// Feeds arbitrary bytes, in reads of arbitrary sizes, to `open` of an established session. In one
// mode the harness first seals genuine records from the input and then flips one byte, so the
// fuzzer also drives the paths behind a valid header and a valid tag.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "base/encoding.hpp"
#include "platform/crypto/secure_bytes.hpp"
#include "transport/local_transport_security_error.hpp"
#include "transport/local_transport_session.hpp"

namespace {

using namespace veltrano;

const platform::SecureBytes& keyA() {
  static const platform::SecureBytes key(Bytes(32, 0xA1));
  return key;
}
const platform::SecureBytes& keyB() {
  static const platform::SecureBytes key(Bytes(32, 0xB2));
  return key;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 4) return 0;
  const auto channel = static_cast<LocalTransportChannel>(data[0] & 0x03);
  const bool sealFirst = (data[0] & 0x04) != 0;
  const std::size_t readSize = 1 + data[1] * 7u;
  const std::size_t flipAt = data[2];
  const std::uint8_t flipMask = data[3];
  ByteView rest(data + 4, size - 4);

  LocalTransportSession receiver(channel, keyA(), keyB());
  Bytes stream;
  std::size_t sealed = 0;
  if (sealFirst) {
    LocalTransportSession sender(channel, keyB(), keyA());
    // Each record: one length byte, then that many plaintext bytes.
    while (!rest.empty()) {
      const std::size_t length = std::min<std::size_t>(rest[0], rest.size() - 1);
      const Bytes record = sender.seal(rest.subspan(1, length));
      stream.insert(stream.end(), record.begin(), record.end());
      rest = rest.subspan(1 + length);
      ++sealed;
    }
    if (!stream.empty()) stream[flipAt % stream.size()] ^= flipMask;
  } else {
    stream.assign(rest.begin(), rest.end());
  }

  ByteView remaining(stream);
  bool failed = false;
  std::size_t opened = 0;
  while (!remaining.empty()) {
    const std::size_t n = std::min(readSize, remaining.size());
    try {
      opened += receiver.open(remaining.first(n)).size();
      if (failed) __builtin_trap();  // a failed session must stay failed
    } catch (const LocalTransportSecurityError&) {
      failed = true;
    }
    remaining = remaining.subspan(n);
  }
  // Untouched genuine records must all open.
  if (sealFirst && flipMask == 0 && (failed || opened != sealed)) __builtin_trap();
  return 0;
}
