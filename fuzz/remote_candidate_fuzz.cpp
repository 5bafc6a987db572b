// A peer's "candidate" signal as the host takes it: the body is read, and the candidate line it carries (or the
// input itself, when it is no body) goes to a fresh ICE agent that has the peer's credentials. The agent never gathers and its context never runs, so no
// check leaves the machine whatever the line names.
#include <glib.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/webrtc/ice_transport.hpp"
#include "remote/peer_signal_bodies.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace veltrano;
  const auto candidate = decodeIceCandidateBody(ByteView(data, size));
  const std::string line = candidate ? candidate->sdp : std::string(reinterpret_cast<const char*>(data), size);
  GMainContext* context = g_main_context_new();
  g_main_context_push_thread_default(context);
  {
    webrtc::IceTransport ice(context, {}, {});
    ice.setRemoteCredentials({"abcd", "0123456789abcdef012345"});
    ice.addRemoteCandidate(line);
    ice.addRemoteCandidate(line);  // the same candidate again
    ice.remoteGatheringDone();
  }
  g_main_context_pop_thread_default(context);
  g_main_context_unref(context);
  return 0;
}
