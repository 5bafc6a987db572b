#include <gtest/gtest.h>

#include "remote/route_classification.hpp"

namespace veltrano {
namespace {

using webrtc::Statistic;
using webrtc::StatisticsReport;

Statistic candidate(const std::string& type) { return {"local-candidate", {{"candidateType", type}}}; }
Statistic pair(double nominated, double selected, const std::string& local = "L", const std::string& remote = "R") {
  return {"candidate-pair",
          {{"nominated", nominated}, {"selected", selected}, {"localCandidateId", local}, {"remoteCandidateId", remote}}};
}
StatisticsReport report(const std::string& localType, const std::string& remoteType, StatisticsReport more = {}) {
  more.emplace("L", candidate(localType));
  more.emplace("R", candidate(remoteType));
  more.emplace("T", Statistic{"transport", {{"selectedCandidatePairId", std::string("P")}}});
  more.emplace("P", pair(0, 0));
  return more;
}

TEST(RouteClassification, FromTheSelectedPairsCandidateTypes) {
  struct Case {
    const char* name;
    StatisticsReport report;
    std::optional<WebRTCRoute> route;
  };
  StatisticsReport missingPair = report("host", "host");
  missingPair["T"].values["selectedCandidatePairId"] = std::string("gone");
  StatisticsReport nominatedPair = missingPair;
  nominatedPair["Q"] = pair(1, 0, "R", "R2");
  nominatedPair["R2"] = candidate("relay");
  StatisticsReport selectedPair = missingPair;
  selectedPair["Q"] = pair(0, 1, "L", "S");
  selectedPair["S"] = candidate("srflx");
  StatisticsReport numericType = report("host", "host");
  numericType["R"].values["candidateType"] = 1.0;
  StatisticsReport textFlag = missingPair;
  textFlag["Q"] = Statistic{"candidate-pair", {{"nominated", std::string("1")}, {"localCandidateId", std::string("L")},
                                               {"remoteCandidateId", std::string("R")}}};
  const Case cases[] = {
      {"host and host", report("host", "host"), WebRTCRoute::lan},
      {"host and server-reflexive", report("host", "srflx"), WebRTCRoute::direct},
      {"server-reflexive and relay", report("srflx", "relay"), WebRTCRoute::relay},
      {"both peer-reflexive", report("prflx", "prflx"), WebRTCRoute::direct},
      {"transport names a missing pair: nominated pair", nominatedPair, WebRTCRoute::relay},
      {"not nominated but selected", selectedPair, WebRTCRoute::direct},
      {"no pair at all", missingPair, std::nullopt},
      {"empty report", {}, std::nullopt},
      {"a type that is not text", numericType, std::nullopt},
      {"a flag that is not a number", textFlag, std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(classifyRoute(c.report), c.route);
  }
}

// After a restart the pair is often peer-reflexive on one side or both: its address, not its type, tells whether it
// stays inside the host's own networks.
TEST(RouteClassification, APeerReflexiveCandidateOnAHostSubnetCountsAsAHostCandidate) {
  const std::vector<InterfaceSubnet> subnets = {{"192.168.1.20", 24}, {"fe80::1", 64}, {"10.9.0.1", 16}};
  const auto at = [](std::string type, std::string address) {
    return Statistic{"candidate", {{"candidateType", type}, {"address", address}}};
  };
  const auto classify = [&](Statistic local, Statistic remote) {
    StatisticsReport r = report("host", "host");
    r["L"] = std::move(local);
    r["R"] = std::move(remote);
    return classifyRoute(r, subnets);
  };
  EXPECT_EQ(classify(at("host", "192.168.1.20"), at("prflx", "192.168.1.33")), WebRTCRoute::lan);
  EXPECT_EQ(classify(at("prflx", "10.9.200.1"), at("prflx", "10.9.3.4")), WebRTCRoute::lan);
  EXPECT_EQ(classify(at("host", "fe80::1"), at("prflx", "fe80::abcd%eth0")), WebRTCRoute::lan);
  EXPECT_EQ(classify(at("host", "192.168.1.20"), at("prflx", "192.168.2.33")), WebRTCRoute::direct);  // other subnet
  EXPECT_EQ(classify(at("host", "192.168.1.20"), at("srflx", "192.168.1.33")), WebRTCRoute::direct);
  EXPECT_EQ(classify(at("host", "192.168.1.20"), at("prflx", "not an address")), WebRTCRoute::direct);
  EXPECT_EQ(classify(at("host", "192.168.1.20"), at("relay", "192.168.1.33")), WebRTCRoute::relay);
  // A public address is never the local network, even where the host's own interface sits on it.
  const std::vector<InterfaceSubnet> publicSubnet = {{"203.0.113.5", 24}};
  StatisticsReport r = report("host", "host");
  r["R"] = at("prflx", "203.0.113.9");
  EXPECT_EQ(classifyRoute(r, publicSubnet), WebRTCRoute::direct);
  EXPECT_EQ(classifyRoute(r), WebRTCRoute::direct);
}

TEST(RouteClassification, RoutesAreNamedByExactlyTheirThreeNames) {
  for (const WebRTCRoute route : {WebRTCRoute::lan, WebRTCRoute::direct, WebRTCRoute::relay}) {
    EXPECT_EQ(routeFromName(routeName(route)), route);
  }
  for (const char* name : {"", "LAN", "relay ", "turn"}) EXPECT_EQ(routeFromName(name), std::nullopt) << name;
}

}  // namespace
}  // namespace veltrano
