#include "remote/route_classification.hpp"

#include <arpa/inet.h>

#include <array>
#include <cstdint>
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

// An IPv4 or IPv6 address in network order; IPv4 in the first four bytes.
struct IpAddress {
  bool isIPv4 = false;
  std::array<std::uint8_t, 16> bytes{};
};

std::optional<IpAddress> parseAddress(const std::string& text) {
  IpAddress address;
  const std::string bare = text.substr(0, text.find('%'));  // no zone of a link-local IPv6 address
  if (inet_pton(AF_INET, bare.c_str(), address.bytes.data()) == 1) {
    address.isIPv4 = true;
    return address;
  }
  if (inet_pton(AF_INET6, bare.c_str(), address.bytes.data()) == 1) return address;
  return std::nullopt;
}

bool sharesPrefix(const IpAddress& a, const IpAddress& b, int bits) {
  if (a.isIPv4 != b.isIPv4 || bits < 0 || bits > (a.isIPv4 ? 32 : 128)) return false;
  for (int i = 0; i < bits; ++i) {
    const int bit = 7 - i % 8;
    if (((a.bytes[i / 8] >> bit) & 1) != ((b.bytes[i / 8] >> bit) & 1)) return false;
  }
  return true;
}

// Addresses that never leave the local network: private, link-local and loopback ranges.
bool isLocalOnly(const IpAddress& address) {
  const auto& b = address.bytes;
  if (address.isIPv4) {
    return b[0] == 10 || (b[0] == 172 && (b[1] & 0xF0) == 16) || (b[0] == 192 && b[1] == 168) ||
           (b[0] == 169 && b[1] == 254) || b[0] == 127;
  }
  const bool loopback = b == std::array<std::uint8_t, 16>{0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
  return (b[0] & 0xFE) == 0xFC || (b[0] == 0xFE && (b[1] & 0xC0) == 0x80) || loopback;
}

bool isOnHostSubnet(const IpAddress& address, const std::vector<InterfaceSubnet>& hostSubnets) {
  for (const InterfaceSubnet& subnet : hostSubnets) {
    const auto network = parseAddress(subnet.address);
    if (network && sharesPrefix(address, *network, subnet.prefixLength)) return true;
  }
  return false;
}

// "host" also for a peer-reflexive candidate that can only be a host candidate of the local network.
std::string effectiveType(const webrtc::Statistic& candidate, const std::string& type,
                          const std::vector<InterfaceSubnet>& hostSubnets) {
  if (type != "prflx") return type;
  const std::string* text = stringValue(candidate, "address");
  const auto address = text ? parseAddress(*text) : std::nullopt;
  return address && isLocalOnly(*address) && isOnHostSubnet(*address, hostSubnets) ? "host" : type;
}

// The two ends of the selected pair with their candidate types, when the report names them.
struct PairEnds {
  const webrtc::Statistic* local = nullptr;
  const webrtc::Statistic* remote = nullptr;
  const std::string* localType = nullptr;
  const std::string* remoteType = nullptr;
};

std::optional<PairEnds> selectedEnds(const webrtc::StatisticsReport& report) {
  const webrtc::Statistic* pair = selectedPair(report);
  if (pair == nullptr) return std::nullopt;
  PairEnds ends;
  ends.local = statisticNamedBy(report, stringValue(*pair, "localCandidateId"));
  ends.remote = statisticNamedBy(report, stringValue(*pair, "remoteCandidateId"));
  if (ends.local == nullptr || ends.remote == nullptr) return std::nullopt;
  ends.localType = stringValue(*ends.local, "candidateType");
  ends.remoteType = stringValue(*ends.remote, "candidateType");
  if (ends.localType == nullptr || ends.remoteType == nullptr) return std::nullopt;
  return ends;
}

}  // namespace

std::optional<WebRTCRoute> classifyRoute(const webrtc::StatisticsReport& report,
                                         const std::vector<InterfaceSubnet>& hostSubnets) {
  const auto ends = selectedEnds(report);
  if (!ends) return std::nullopt;
  if (*ends->localType == "relay" || *ends->remoteType == "relay") return WebRTCRoute::relay;
  if (effectiveType(*ends->local, *ends->localType, hostSubnets) == "host" &&
      effectiveType(*ends->remote, *ends->remoteType, hostSubnets) == "host") {
    return WebRTCRoute::lan;
  }
  return WebRTCRoute::direct;
}

bool remoteEndLearntFromChecks(const webrtc::StatisticsReport& report,
                               const std::vector<InterfaceSubnet>& hostSubnets) {
  const auto ends = selectedEnds(report);
  return ends && effectiveType(*ends->remote, *ends->remoteType, hostSubnets) == "prflx";
}

}  // namespace veltrano
