// Feeds a peer's session description text to the parser. Whatever it accepts, the writer reproduces: the written
// text parses back to the same description.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "platform/webrtc/session_description.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace veltrano::webrtc;
  const auto parsed = parseSessionDescription(std::string_view(reinterpret_cast<const char*>(data), size));
  if (!parsed.description) {
    if (parsed.error.empty()) __builtin_trap();
    return 0;
  }
  // The written form adds a few lines of its own around what was read.
  const SessionDescriptionLimits roomy{.maxSize = 1 << 20, .maxLines = 1 << 16, .maxLineLength = 1 << 16};
  const auto reparsed = parseSessionDescription(writeSessionDescription(*parsed.description), roomy);
  // Every media section stands at its place again, the ones not taken rejected.
  if (!reparsed.description || !(*reparsed.description == *parsed.description)) __builtin_trap();
  return 0;
}
