// Reads the input as a message from the signaling service: as the first message (the challenge) and as any later
// one (the envelope), the way the signaling client decodes them before anything else looks at them.
#include <cstddef>
#include <cstdint>

#include "base/encoding.hpp"
#include <map>

#include "remote/signaling_client.hpp"
#include "remote/signaling_messages.hpp"

using namespace veltrano;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const ByteView bytes(data, size);
  try {
    (void)decodeSignalingChallenge(bytes).isAcceptable();
  } catch (const SignalingDecodingError&) {
  }
  try {
    const SignalingEnvelope envelope = decodeSignalingEnvelope(bytes);
    if (envelope.devices) {
      std::map<std::string, SignalingDevice> table;
      for (const auto& device : *envelope.devices) table[device.deviceId] = device;
      // Sorting keeps every device of the table.
      if (sortedSignalingDevices(table).size() != table.size()) __builtin_trap();
    }
  } catch (const SignalingDecodingError&) {
  }
  return 0;
}
