#pragma once
// Which kind of route a peer connection uses, read from its statistics report: the selected candidate pair and
// the types of its two candidates.
#include <optional>

#include "core/webrtc_route.hpp"
#include "platform/webrtc/peer_connection.hpp"

namespace veltrano {

// The pair the transport names as selected, else the first nominated pair, else the first selected one; relay
// when either candidate is a relay candidate, lan when both are host candidates, direct otherwise. Nothing when
// the report has no such pair or its candidates' types are missing.
std::optional<WebRTCRoute> classifyRoute(const webrtc::StatisticsReport& report);

}  // namespace veltrano
