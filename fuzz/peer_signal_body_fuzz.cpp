// Feeds a peer's signal body to the readers of both bodies ("offer"/"answer" and "candidate"). Whatever a reader
// accepts, its writer reproduces: the written body reads back to the same value.
#include <cstddef>
#include <cstdint>

#include "remote/peer_signal_bodies.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace veltrano;
  const ByteView body(data, size);
  if (const auto sdp = decodeSessionDescriptionBody(body)) {
    if (decodeSessionDescriptionBody(encodeSessionDescriptionBody(*sdp)) != sdp) __builtin_trap();
  }
  if (const auto candidate = decodeIceCandidateBody(body)) {
    const auto again = decodeIceCandidateBody(encodeIceCandidateBody(*candidate));
    if (!again || again->sdp != candidate->sdp || again->sdpMLineIndex != candidate->sdpMLineIndex ||
        again->sdpMid != candidate->sdpMid) {
      __builtin_trap();
    }
  }
  return 0;
}
