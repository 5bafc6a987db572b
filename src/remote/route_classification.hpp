#pragma once
// Which kind of route a peer connection uses, read from its statistics report: the selected candidate pair and
// the types of its two candidates.
#include <optional>
#include <vector>

#include "core/network_interfaces.hpp"

#include "core/webrtc_route.hpp"
#include "platform/webrtc/peer_connection.hpp"

namespace veltrano {

// The pair the transport names as selected, else the first nominated pair, else the first selected one; relay
// when either candidate is a relay candidate, lan when both are host candidates, direct otherwise. A
// peer-reflexive candidate stands for a host candidate the other side learnt from checks (pairs found after a
// restart mostly are), so one whose "address" is private, link-local or loopback and lies on one of `hostSubnets`
// counts as a host candidate. Nothing when the report has no such pair or its candidates' types are missing.
std::optional<WebRTCRoute> classifyRoute(const webrtc::StatisticsReport& report,
                                         const std::vector<InterfaceSubnet>& hostSubnets = {});

// Whether the selected pair's far end is a peer-reflexive candidate that does not count as a host candidate: an
// address the peer's checks came from before its own candidate lines arrived, so the pair may still turn out to
// be a pair of host candidates once they do.
bool remoteEndLearntFromChecks(const webrtc::StatisticsReport& report,
                               const std::vector<InterfaceSubnet>& hostSubnets = {});

}  // namespace veltrano
