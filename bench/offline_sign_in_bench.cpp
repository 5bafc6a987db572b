// Time from the link coming up to the signaling service's "authenticated", for the whole program started offline
// as scripts/run starts it (tests/support/offline_host_program.hpp), its lookups going to a name server on its
// loopback that never answers. In turn in each round: the analytics service named, so its lookup is waiting on that
// name server when the link comes up, and the analytics service at a numeric address (no lookup at all). The
// signaling service is named in a hosts file in both. Timed in this process from the link change to the service's
// event. Built on the test fixture, so it is a test program of its own (not in the suite).
// Needs root, an X server and network namespaces. Usage: [VELTRANO_BENCH_ROUNDS=10] veltrano_bench_offline_sign_in
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "load_average.hpp"
#include "percentile.hpp"
#include "support/offline_host_program.hpp"
#include "support/silent_name_server.hpp"

namespace veltrano {
namespace {

using namespace std::chrono_literals;
using bench::percentile;

int rounds() {
  const char* set = std::getenv("VELTRANO_BENCH_ROUNDS");
  return set ? std::max(1, std::atoi(set)) : 10;
}

// Milliseconds from the link coming up to the sign-in, with the analytics service at `analyticsUrl`.
double signInAfterLinkUp(const std::string& analyticsUrl, const std::string& analyticsName) {
  testing::OfflineHostProgram host;
  testing::SilentNameServer nameServer;  // in the host's namespace, which this thread entered with `host`
  EXPECT_TRUE(host.start(VELTRANO_HOST_PROGRAM, "signaling.veltrano.test", {{"VELTRANO_ANALYTICS_URL", analyticsUrl}},
                         host.silentNameServerFiles()))
      << host.program().output();
  if (!analyticsName.empty()) {
    EXPECT_TRUE(testing::eventually([&] { return nameServer.asked(analyticsName); }, 30s));
  }
  host.setLink(true);
  const auto linkUp = std::chrono::steady_clock::now();
  EXPECT_TRUE(host.service().waitForEvent("authenticated ", 0, 200s)) << host.program().output();
  const auto took = std::chrono::steady_clock::now() - linkUp;
  EXPECT_TRUE(host.stop()) << host.program().output();
  return std::chrono::duration<double, std::milli>(took).count();
}

TEST(OfflineSignInBench, LinkUpToSignInWhileAnalyticsWaitsOnANameServer) {
  const std::string loadBefore = bench::loadAverage();
  std::vector<double> waiting, numeric;
  for (int round = 1; round <= rounds(); ++round) {
    const std::string load = bench::loadAverage();
    waiting.push_back(signInAfterLinkUp("https://metrics.veltrano.test/veltrano/v1/metrics", "metrics.veltrano.test"));
    numeric.push_back(signInAfterLinkUp("https://198.18.0.2:9/veltrano/v1/metrics", ""));
    std::printf("round %d (load %s): analytics lookup waiting %.1f ms, analytics by address %.1f ms\n", round,
                load.c_str(), waiting.back(), numeric.back());
    std::fflush(stdout);
  }
  const double p50 = percentile(waiting, 0.5), numericP50 = percentile(numeric, 0.5);
  std::printf("link up to sign-in, %zu rounds, load %s before, %s after: analytics lookup waiting p50 %.1f ms, "
              "max %.1f ms; analytics by address p50 %.1f ms, max %.1f ms; ratio p50 %.2f\n",
              waiting.size(), loadBefore.c_str(), bench::loadAverage().c_str(), p50, percentile(waiting, 1),
              numericP50, percentile(numeric, 1), numericP50 > 0 ? p50 / numericP50 : 0);
}

}  // namespace
}  // namespace veltrano
