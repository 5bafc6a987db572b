#include "remote/route_classification.hpp"

#include <string>

namespace veltrano {

namespace {

// A value of the expected kind, or nothing: a number where a string is read counts as missing, and so on.
const std::string* stringValue(const webrtc::Statistic& statistic, const std::string& key) {
  const auto found = statistic.values.find(key);
  return found == statistic.values.end() ? nullptr : std::get_if<std::string>(&found->second);
}

bool flagValue(const webrtc::Statistic& statistic, const std::string& key) {
  const auto found = statistic.values.find(key);
  if (found == statistic.values.end()) return false;
  const double* number = std::get_if<double>(&found->second);
  return number != nullptr && *number != 0;
}

const webrtc::Statistic* statisticNamedBy(const webrtc::StatisticsReport& report, const std::string* id) {
  if (id == nullptr) return nullptr;
  const auto found = report.find(*id);
  return found == report.end() ? nullptr : &found->second;
}

const webrtc::Statistic* pairFlagged(const webrtc::StatisticsReport& report, const std::string& flag) {
  for (const auto& [id, statistic] : report) {
    if (statistic.type == "candidate-pair" && flagValue(statistic, flag)) return &statistic;
  }
  return nullptr;
}

const webrtc::Statistic* selectedPair(const webrtc::StatisticsReport& report) {
  for (const auto& [id, statistic] : report) {
    if (statistic.type != "transport") continue;
    if (const auto* pair = statisticNamedBy(report, stringValue(statistic, "selectedCandidatePairId"))) return pair;
    break;  // only the first transport is looked at
  }
  if (const auto* pair = pairFlagged(report, "nominated")) return pair;
  return pairFlagged(report, "selected");
}

}  // namespace

std::optional<WebRTCRoute> classifyRoute(const webrtc::StatisticsReport& report) {
  const webrtc::Statistic* pair = selectedPair(report);
  if (pair == nullptr) return std::nullopt;
  const auto* local = statisticNamedBy(report, stringValue(*pair, "localCandidateId"));
  const auto* remote = statisticNamedBy(report, stringValue(*pair, "remoteCandidateId"));
  if (local == nullptr || remote == nullptr) return std::nullopt;
  const std::string* localType = stringValue(*local, "candidateType");
  const std::string* remoteType = stringValue(*remote, "candidateType");
  if (localType == nullptr || remoteType == nullptr) return std::nullopt;
  if (*localType == "relay" || *remoteType == "relay") return WebRTCRoute::relay;
  if (*localType == "host" && *remoteType == "host") return WebRTCRoute::lan;
  return WebRTCRoute::direct;
}

}  // namespace veltrano
