#pragma once
// The seam between ICE and the secure layers above it: an unreliable datagram path to one remote peer.
// The owner (the ICE layer, or a test) pushes received datagrams into the layer above; the layer above sends
// through this interface. send() must not deliver anything back into the caller synchronously.
#include <cstdint>
#include <span>

namespace veltrano::webrtc {

class DatagramLink {
 public:
  virtual ~DatagramLink() = default;
  // Best effort: a datagram may be lost, duplicated or reordered on the way.
  virtual void send(std::span<const std::uint8_t> datagram) = 0;
};

}  // namespace veltrano::webrtc
