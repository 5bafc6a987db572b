#pragma once
// The statistics report of a data-only peer, in the shape browsers give, built from ICE's selected pair.
#include <optional>

#include "platform/webrtc/ice_transport.hpp"
#include "platform/webrtc/peer_connection.hpp"

namespace veltrano::webrtc {

StatisticsReport peerStatistics(const std::optional<IceSelectedPair>& selected, double timestampMs);

}  // namespace veltrano::webrtc
