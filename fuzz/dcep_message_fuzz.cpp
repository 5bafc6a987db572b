// Feeds a peer's data-channel control message to the parser. Whatever it accepts is exactly what the writer
// produces for the parsed message.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "platform/webrtc/dcep_message.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace veltrano::webrtc;
  const std::span<const std::uint8_t> bytes(data, size);
  const auto parsed = parseDcepMessage(bytes);
  if (!parsed) return 0;
  const std::vector<std::uint8_t> written = serializeDcepMessage(*parsed);
  if (!std::equal(written.begin(), written.end(), bytes.begin(), bytes.end())) __builtin_trap();
  return 0;
}
