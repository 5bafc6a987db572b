// The connected tablet's ping round trip through the whole program while another device of the account floods it
// with 8,000 offers, beside the same pings with no flood, in turn in each round. The program runs as scripts/run
// starts it, in a network namespace of its own with the local wss signaling service; the tablet is a headless
// Chromium across a veth link, its pings on the control channel 20 ms apart; the flooding device is a signaling
// client in this process. Each round: the flood with its pings (on until 3 s after the last offer went), 30 s for
// the program to let go, its memory then, and as many pings again with no flood. Also printed: the program's
// threads that took the most CPU in each phase.
// It is built on the program's test fixture, so it is a test program of its own (not in the suite).
// Needs network namespaces (root), node with playwright-core and chromium, and the test environment
// (scripts/test-env). Usage: [VELTRANO_BENCH_ROUNDS=3] veltrano_bench_remote_offer_flood
#include <gtest/gtest.h>

#include <dirent.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "load_average.hpp"
#include "percentile.hpp"
#include "support/remote_tablet_program.hpp"

namespace veltrano {
namespace {

using namespace std::chrono_literals;

constexpr int kOffers = 8000;
constexpr auto kAfterFlood = 3s;

int rounds() {
  const char* set = std::getenv("VELTRANO_BENCH_ROUNDS");
  return set ? std::max(1, std::atoi(set)) : 3;
}

using bench::percentile;

// CPU time of each of a process's threads so far, in clock ticks, by thread ID with its name.
std::map<std::string, std::pair<std::string, long>> threadTicks(pid_t pid) {
  std::map<std::string, std::pair<std::string, long>> ticks;
  const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
  DIR* folder = ::opendir(tasks.c_str());
  if (!folder) return ticks;
  while (const dirent* entry = ::readdir(folder)) {
    if (entry->d_name[0] == '.') continue;
    std::ifstream stat(tasks + "/" + entry->d_name + "/stat");
    std::string line;
    if (!std::getline(stat, line)) continue;
    // The name sits in brackets and may hold spaces; utime and stime are fields 14 and 15.
    const auto open = line.find('('), close = line.rfind(')');
    if (open == std::string::npos || close == std::string::npos) continue;
    std::istringstream rest(line.substr(close + 2));
    std::string skipped;
    for (int field = 3; field < 14; ++field) rest >> skipped;
    long utime = 0, stime = 0;
    rest >> utime >> stime;
    ticks[entry->d_name] = {line.substr(open + 1, close - open - 1), utime + stime};
  }
  ::closedir(folder);
  return ticks;
}

// The threads that took the most CPU between two samples, as "name ms, ..." (threads of one name added up).
std::string busiestThreads(const std::map<std::string, std::pair<std::string, long>>& from,
                           const std::map<std::string, std::pair<std::string, long>>& to, double seconds) {
  std::map<std::string, long> byName;
  long total = 0;
  for (const auto& [tid, named] : to) {
    const auto before = from.find(tid);
    const long used = named.second - (before == from.end() ? 0 : before->second.second);
    byName[named.first] += used;
    total += used;
  }
  std::vector<std::pair<long, std::string>> sorted;
  for (const auto& [name, used] : byName) sorted.emplace_back(used, name);
  std::sort(sorted.rbegin(), sorted.rend());
  const double msPerTick = 1000.0 / static_cast<double>(::sysconf(_SC_CLK_TCK));
  const int percent = static_cast<int>(static_cast<double>(total) * msPerTick / seconds / 10);
  std::string text = "program CPU " + std::to_string(percent) + " % of a core:";
  for (std::size_t i = 0; i < std::min<std::size_t>(4, sorted.size()); ++i)
    text += " " + sorted[i].second + " " + std::to_string(static_cast<long>(sorted[i].first * msPerTick)) + " ms";
  return text;
}

class RemoteOfferFloodBench : public testing::RemoteTabletProgramTest {
 protected:
  // Pings 20 ms apart while `more(pings so far)` holds; the round trips, the lost ones counted in `lost`.
  template <class More>
  std::vector<double> pings(More more, int& timestamp, int& lost) {
    std::vector<double> roundTrips;
    while (more(roundTrips.size())) {
      if (const auto took = ping(timestamp++)) {
        roundTrips.push_back(*took);
      } else {
        ++lost;
      }
      std::this_thread::sleep_for(20ms);
    }
    return roundTrips;
  }
};

TEST_P(RemoteOfferFloodBench, PingRoundTripUnderAFloodOfOffers) {
  ASSERT_TRUE(nextControl("hello", {}, 60s)) << "no hello on the control channel";
  int timestamp = 100;
  for (int warm = 0; warm < 20; ++warm) ASSERT_TRUE(ping(timestamp++));
  testing::SignalingTablet flooder(*service, accountKey, "ipad-flood");
  ASSERT_TRUE(flooder.connected.waitForCount(1, 30s));

  const int total = rounds();
  const std::string loadBefore = bench::loadAverage();
  std::vector<double> flooded, quiet;
  int lostFlooded = 0, lostQuiet = 0;
  for (int round = 1; round <= total; ++round) {
    const auto before = program.holdings();
    auto peak = before;
    const std::string loadAtFlood = bench::loadAverage();
    auto ticks = threadTicks(program.pid());
    auto started = std::chrono::steady_clock::now();
    testing::OfferFlood flood(flooder, hostDevice, kOffers, "R" + std::to_string(round) + "F");
    // Sent is not yet handled: the pings go on for a while after the last offer, while the program catches up.
    std::optional<std::chrono::steady_clock::time_point> sent;
    const auto underFlood = pings(
        [&](std::size_t) {
          const auto now = program.holdings();
          peak.residentBytes = std::max(peak.residentBytes, now.residentBytes);
          if (!sent && !flood.running()) sent = std::chrono::steady_clock::now();
          return !sent || std::chrono::steady_clock::now() < *sent + kAfterFlood;
        },
        timestamp, lostFlooded);
    flood.join();
    const double sendSeconds = std::chrono::duration<double>(*sent - started).count();
    const double floodSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    const std::string floodThreads = busiestThreads(ticks, threadTicks(program.pid()), floodSeconds);
    ASSERT_FALSE(program.waitForExit(0ms)) << "the program ended during the flood:\n" << program.output();
    std::this_thread::sleep_for(30s);
    const auto after = program.holdings();

    const std::string loadAtQuiet = bench::loadAverage();
    ticks = threadTicks(program.pid());
    started = std::chrono::steady_clock::now();
    const auto withoutFlood = pings([&](std::size_t done) { return done < underFlood.size(); }, timestamp, lostQuiet);
    const double quietSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    const std::string quietThreads = busiestThreads(ticks, threadTicks(program.pid()), quietSeconds);

    std::printf("round %d: flood of %d offers sent in %.1f s, pinged until %.0f s after (load %s): %zu pings, "
                "p50 %.1f ms, p99 %.1f ms, max %.1f ms; %s\n",
                round, kOffers, sendSeconds, std::chrono::duration<double>(kAfterFlood).count(), loadAtFlood.c_str(),
                underFlood.size(), percentile(underFlood, 0.5), percentile(underFlood, 0.99), percentile(underFlood, 1),
                floodThreads.c_str());
    std::printf("round %d: no flood (load %s): %zu pings, p50 %.1f ms, p99 %.1f ms, max %.1f ms; %s\n", round,
                loadAtQuiet.c_str(), withoutFlood.size(), percentile(withoutFlood, 0.5), percentile(withoutFlood, 0.99),
                percentile(withoutFlood, 1), quietThreads.c_str());
    std::printf("round %d: resident %.1f -> peak %.1f -> %.1f MiB 30 s after\n", round,
                static_cast<double>(before.residentBytes) / 1048576, static_cast<double>(peak.residentBytes) / 1048576,
                static_cast<double>(after.residentBytes) / 1048576);
    std::fflush(stdout);
    flooded.insert(flooded.end(), underFlood.begin(), underFlood.end());
    quiet.insert(quiet.end(), withoutFlood.begin(), withoutFlood.end());
  }
  const double p50 = percentile(flooded, 0.5), p99 = percentile(flooded, 0.99);
  const double quietP50 = percentile(quiet, 0.5), quietP99 = percentile(quiet, 0.99);
  std::printf("tablet ping round trip, %d rounds of %d offers, load average %s before, %s after: under the flood "
              "p50 %.1f ms, p99 %.1f ms (%zu pings, %d lost); no flood p50 %.1f ms, p99 %.1f ms (%zu pings, %d lost); "
              "ratio p50 %.2f, p99 %.2f\n",
              total, kOffers, loadBefore.c_str(), bench::loadAverage().c_str(), p50, p99, flooded.size(), lostFlooded,
              quietP50, quietP99, quiet.size(), lostQuiet, quietP50 > 0 ? p50 / quietP50 : 0,
              quietP99 > 0 ? p99 / quietP99 : 0);
  EXPECT_EQ(lostFlooded + lostQuiet, 0);
}

INSTANTIATE_TEST_SUITE_P(Udp, RemoteOfferFloodBench, ::testing::Values("udp"),
                         [](const auto& info) { return info.param; });

}  // namespace
}  // namespace veltrano
