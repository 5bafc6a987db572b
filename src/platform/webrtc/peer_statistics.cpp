#include "platform/webrtc/peer_statistics.hpp"

namespace veltrano::webrtc {
namespace {

Statistic candidateStatistic(const char* type, const IceCandidateInfo& candidate, double timestampMs) {
  Statistic statistic{type, {}};
  statistic.values["timestamp"] = timestampMs;
  statistic.values["candidateType"] = candidate.type;
  statistic.values["address"] = candidate.address;
  statistic.values["port"] = static_cast<double>(candidate.port);
  statistic.values["protocol"] = candidate.protocol;
  statistic.values["priority"] = candidate.priority;
  return statistic;
}

}  // namespace

StatisticsReport peerStatistics(const std::optional<IceSelectedPair>& selected, double timestampMs) {
  StatisticsReport report;
  Statistic transport{"transport", {}};
  transport.values["timestamp"] = timestampMs;
  if (selected) {
    const std::string localId = "I-local";
    const std::string remoteId = "I-remote";
    const std::string pairId = "CP-" + localId + "-" + remoteId;
    report[localId] = candidateStatistic("local-candidate", selected->local, timestampMs);
    report[remoteId] = candidateStatistic("remote-candidate", selected->remote, timestampMs);
    Statistic pair{"candidate-pair", {}};
    pair.values["timestamp"] = timestampMs;
    pair.values["localCandidateId"] = localId;
    pair.values["remoteCandidateId"] = remoteId;
    pair.values["state"] = std::string("succeeded");
    pair.values["nominated"] = 1.0;
    pair.values["selected"] = 1.0;
    report[pairId] = pair;
    transport.values["selectedCandidatePairId"] = pairId;
  }
  report["T01"] = transport;
  return report;
}

}  // namespace veltrano::webrtc
