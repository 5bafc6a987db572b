#pragma once
// Whether the process can still open the descriptors a new peer or ICE stream needs: its sockets, and the wakeup
// of the GLib main context that libnice makes for every stream. GLib ends the process when it cannot make that
// wakeup ("Creating pipes for GWakeup"), so a peer is refused, and its session fails, while the process is near its
// limit; a restart then keeps its stream.
#include <cstddef>

namespace veltrano::webrtc {

// What a peer may need and what the rest of the process keeps.
constexpr std::size_t kPeerDescriptorReserve = 128;

// True when at least `reserve` descriptors are left below the process's limit.
bool hasDescriptorHeadroom(std::size_t reserve = kPeerDescriptorReserve);

}  // namespace veltrano::webrtc
