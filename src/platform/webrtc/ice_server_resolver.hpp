#pragma once
// Resolves the host names of STUN and TURN servers for libnice, which takes numeric addresses only, without
// blocking: lookups run in GLib's resolver and report on the network thread that asked. Numeric addresses need
// no lookup and resolve at once. Names that do not resolve are left out.
//
// Threads: created, used and destroyed on the network thread (whose context is the thread default there).
#include <functional>
#include <memory>
#include <vector>

#include "platform/webrtc/network_sequence.hpp"
#include "platform/webrtc/ice_servers.hpp"

namespace veltrano::webrtc {

class IceServerResolver {
 public:
  using Completion = std::function<void(ResolvedIceServers)>;

  IceServerResolver() = default;
  // Cancels a resolution under way; its completion is not called.
  ~IceServerResolver();
  IceServerResolver(const IceServerResolver&) = delete;
  IceServerResolver& operator=(const IceServerResolver&) = delete;

  // Replaces any resolution under way. `done` runs on this
  // thread: inside the call when no name needs looking up, later otherwise.
  void resolve(const std::vector<IceServer>& servers, Completion done);

 private:
  struct Batch;
  std::shared_ptr<Batch> batch_;
  NetworkSequence sequence_;
};

}  // namespace veltrano::webrtc
