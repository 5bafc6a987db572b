// The rtnetlink path monitor in a network namespace of its own: addresses, routes and links change under it and
// the paths it reports are checked.
#include "platform/net/netlink_path_monitor.hpp"

#include <gtest/gtest.h>
#include <net/if.h>

#include <chrono>
#include <thread>

#include "base/executors.hpp"
#include "support/network_namespaces.hpp"
#include "support/recorded_values.hpp"

namespace veltrano::platform {

void PrintTo(const NetworkPath& path, std::ostream* out) { *out << describe(path); }

namespace {

using testing::NetworkNamespaces;
using testing::runCommand;
using namespace std::chrono_literals;

constexpr auto kWait = 5s;
const NetlinkPathMonitor::Timing kTiming{std::chrono::milliseconds(200), std::chrono::milliseconds(1000)};

class PathMonitorTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (auto reason = NetworkNamespaces::unavailable()) GTEST_SKIP() << *reason;
    namespaces_.emplace();
    // The host side of the pair is named after the namespace.
    link_ = "vh" + std::to_string(getpid());
    index_ = static_cast<int>(if_nametoindex(link_.c_str()));
    ASSERT_GT(index_, 0);
    monitor_ = NetlinkPathMonitor::create(kTiming);
    // An update already running when cancel() returns may still finish: the handler keeps what it writes to.
    monitor_->setPathUpdateHandler([paths = paths_](const NetworkPath& path) { paths->add(path); });
    monitor_->start(sharedIo().executor());
  }
  void TearDown() override {
    if (monitor_) monitor_->cancel();
  }

  NetworkPath expectedPath(std::vector<std::string> addresses, std::vector<std::string> gateways = {}) const {
    NetworkPath path;
    path.status = NetworkPath::Status::satisfied;
    path.availableInterfaces = {{link_, index_, NetworkInterfaceType::wiredEthernet, std::move(addresses)}};
    path.usedInterfaceTypes = {NetworkInterfaceType::wiredEthernet};
    path.gateways = std::move(gateways);
    return path;
  }
  // The path at `index`, which must come.
  NetworkPath path(std::size_t index) {
    auto value = paths_->waitForValue(index, kWait);
    if (!value) ADD_FAILURE() << "path " << index << " was not reported; got " << paths_->size();
    return value.value_or(NetworkPath{});
  }
  // Lets any burst settle, then checks that no further path came.
  void expectNoMorePathsAfter(std::size_t count) {
    std::this_thread::sleep_for(kTiming.longestBurst + kTiming.settle * 2);
    EXPECT_EQ(paths_->size(), count) << everyPath();
  }
  std::string everyPath() const {
    std::string text = "paths:";
    for (const auto& path : paths_->values()) text += "\n  " + describe(path);
    return text;
  }
  void inPeer(const std::string& command) { runCommand(namespaces_->inPeer() + command); }

  std::optional<NetworkNamespaces> namespaces_;
  std::string link_;
  int index_ = 0;
  std::shared_ptr<NetlinkPathMonitor> monitor_;
  std::shared_ptr<testing::RecordedValues<NetworkPath>> paths_ = std::make_shared<testing::RecordedValues<NetworkPath>>();
};

TEST_F(PathMonitorTest, ReportsTheCurrentPathThenABurstOfAddressChangesAsOnePath) {
  EXPECT_EQ(path(0), expectedPath({"198.18.0.1"}));

  // Five changes in one go: the path is read once they settled.
  const auto began = std::chrono::steady_clock::now();
  runCommand("printf 'addr add 198.18.0.11/24 dev %s\\naddr add 198.18.0.12/24 dev %s\\naddr del 198.18.0.1/24 dev %s\\n"
             "addr add 198.18.0.13/24 dev %s\\nroute replace default dev %s\\n' " +
             link_ + " " + link_ + " " + link_ + " " + link_ + " " + link_ + " | ip -batch -");
  const auto took = std::chrono::steady_clock::now() - began;
  const NetworkPath settled = expectedPath({"198.18.0.11", "198.18.0.12", "198.18.0.13"});
  if (took < kTiming.settle) {
    // All five came within one settle time of each other: one burst, one path.
    EXPECT_EQ(path(1), settled) << everyPath();
    expectNoMorePathsAfter(2);
  } else {
    // A loaded machine spread them over more than a settle time, so they were bursts of their own: the last path
    // is the whole change, and nothing follows it.
    EXPECT_TRUE(paths_->waitForMatch([&](const NetworkPath& p) { return p == settled; }, kWait)) << everyPath();
    expectNoMorePathsAfter(paths_->size());
    EXPECT_EQ(paths_->values().back(), settled) << everyPath();
  }
}

TEST_F(PathMonitorTest, AnAddressMovedByHandIsReported) {
  ASSERT_EQ(path(0), expectedPath({"198.18.0.1"}));
  namespaces_->moveHostAddress("198.18.0.21");
  EXPECT_TRUE(paths_->waitForMatch([&](const NetworkPath& p) { return p == expectedPath({"198.18.0.21"}); }, kWait))
      << describe(paths_->values().back());
}

TEST_F(PathMonitorTest, DefaultRouteThroughARouterThenNoneMakesThePathUnsatisfied) {
  ASSERT_EQ(path(0), expectedPath({"198.18.0.1"}));

  runCommand("ip route replace default via 198.18.0.254 dev " + link_);
  EXPECT_EQ(path(1), expectedPath({"198.18.0.1"}, {"198.18.0.254"}));

  runCommand("ip route replace default via 198.18.0.253 dev " + link_);
  EXPECT_EQ(path(2), expectedPath({"198.18.0.1"}, {"198.18.0.253"}));

  runCommand("ip route del default");
  const auto gone = path(3);
  EXPECT_EQ(gone.status, NetworkPath::Status::unsatisfied) << describe(gone);
  EXPECT_TRUE(gone.usedInterfaceTypes.empty()) << describe(gone);
  EXPECT_TRUE(gone.gateways.empty()) << describe(gone);
  // The link and its address are still there; only the way out is gone.
  EXPECT_EQ(gone.availableInterfaces, expectedPath({"198.18.0.1"}).availableInterfaces);
  expectNoMorePathsAfter(4);
}

TEST_F(PathMonitorTest, ALinkThatDropsAndComesBackGivesUnsatisfiedThenTheSamePath) {
  ASSERT_EQ(path(0), expectedPath({"198.18.0.1"}));

  // The far end going down takes the carrier away, as a Wi-Fi link that drops would.
  inPeer("ip link set " + namespaces_->peerNamespace() + " down");
  const auto down = path(1);
  EXPECT_EQ(down.status, NetworkPath::Status::unsatisfied) << describe(down);
  EXPECT_TRUE(down.availableInterfaces.empty()) << describe(down);

  inPeer("ip link set " + namespaces_->peerNamespace() + " up");
  EXPECT_EQ(path(2), expectedPath({"198.18.0.1"}));
  expectNoMorePathsAfter(3);
}

TEST_F(PathMonitorTest, NothingIsReportedAfterCancel) {
  ASSERT_EQ(path(0), expectedPath({"198.18.0.1"}));
  monitor_->cancel();
  runCommand("ip route replace default via 198.18.0.254 dev " + link_);
  expectNoMorePathsAfter(1);
}

}  // namespace
}  // namespace veltrano::platform
