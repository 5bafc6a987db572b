// Remote access of the whole host on its real services: a local wss signaling service that the host finds through
// VELTRANO_SIGNALING_URL and trusts through SSL_CERT_FILE, and tablets (aiortc, headless Chromium) in a network
// namespace of their own, whose signals go through the service as the account's "ipad" devices. Holds the fixed
// ports like the other tests of the whole host.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "base/json.hpp"
#include "support/whole_remote_host.hpp"

namespace veltrano::test {
namespace {

using namespace std::chrono_literals;
using nlohmann::json;
using Tablet = testing::SignalingTablet;

class HostRemoteAccessTest : public testing::WholeRemoteHostTest {
 protected:
  // The service and the I/O threads stay where they are; the host's peers and the tablets get namespaces.
  HostRemoteAccessTest() : WholeRemoteHostTest("Remote host test", SignalingPlacement::outside) {}
};

TEST_P(HostRemoteAccessTest, ATabletAnywhereConnectsAndBadSignalsCostOnlyWhatTheyShould) {
  Tablet& first = tablet("ipad-first");
  ASSERT_TRUE(connects(first, "S1"));
  EXPECT_EQ(first.received.values().front(), "answer");
  // The status ran through its texts in order.
  const std::vector<std::string> path = {localized("host.remote.preparing"), localized("host.remote.available"),
                                         localized("host.remote.connecting_device"), localized("host.remote.ready")};
  auto at = statuses.begin();
  for (const auto& expected : path) {
    at = std::find(at, statuses.end(), expected);
    EXPECT_NE(at, statuses.end()) << expected;
  }
  EXPECT_EQ(model->remoteAccessStatus().get(), localized("host.remote.ready"));

  // A stranger's signal (sealed and signed under another account's key) is refused by signaling.
  const auto stranger = VeltranoIdentity(platform::SigningKey::generate());
  const std::string forged = json{{"type", "signal"}, {"fromDeviceId", "ipad-stranger"}, {"sessionId", "S-forged"},
                                  {"kind", "offer"}, {"payload", "AAAA"}, {"signature", "AAAA"}, {"sequence", 1},
                                  {"sentAt", 1}}.dump();
  service->command("send " + hostDevice() + " " + forged);
  // Another tablet of the account naming the first one's session: dropped and logged; it also orders the two.
  Tablet& second = tablet("ipad-second");
  second.aim(hostDevice(), "S1");
  second.send("candidate", json{{"sdp", "candidate:1 1 udp 1 198.18.0.2 9 typ host"}, {"sdpMLineIndex", 0}});
  EXPECT_TRUE(logged("REMOTE: signal device mismatch for session=S1"));
  EXPECT_EQ(sessions(), 1u);
  EXPECT_FALSE(model->remoteCoordinator()->sessions().contains("S-forged"));
  EXPECT_FALSE(logged("REMOTE: invalid offer signal for session=S-forged", 0s));
  EXPECT_EQ(model->remoteConnectedClientCount().get(), 1);

  // A malformed candidate of the session's own tablet ends it and reconnects signaling ("network changed").
  const auto events = service->eventCount();
  first.send("candidate", json{{"sdp", "candidate:1 1 udp 1 198.18.0.2 9 typ host"}, {"sdpMLineIndex", -1}});
  EXPECT_TRUE(logged("REMOTE: invalid candidate signal for session=S1"));
  EXPECT_TRUE(serviceEvent("closed " + hostDevice() + " 1001 network changed", events));
  EXPECT_TRUE(serviceEvent("authenticated " + hostDevice(), events));
  EXPECT_TRUE(loop.runUntil([&] { return model->remoteConnectedClientCount().get() == 0; }, kDeadline));
  EXPECT_TRUE(model->remoteConnectionRoutes().get().empty());

  // The tablet comes back with a new session.
  ASSERT_TRUE(loop.runUntil([&] { return model->remoteAccessStatus().get() == localized("host.remote.available"); },
                            kDeadline));
  ASSERT_TRUE(connects(first, "S2"));

  // Stopping the host closes the tablet's channels and the WebSocket with 1000; nothing is reported afterwards.
  const auto beforeStop = service->eventCount();
  model->stopServer(false);
  EXPECT_EQ(model->remoteConnectedClientCount().get(), 0);
  EXPECT_TRUE(model->remoteConnectionRoutes().get().empty());
  EXPECT_EQ(model->remoteAccessStatus().get(), localized("host.remote.stopped"));
  EXPECT_TRUE(serviceEvent("closed " + hostDevice() + " 1000", beforeStop));
  EXPECT_TRUE(first.closed.waitForMatch([](const std::string& l) { return l == "veltrano.control"; }, kDeadline));
  waitForShutdown();
  const auto statusCount = statuses.size();
  loop.runUntil([] { return false; }, 2s);
  EXPECT_EQ(statuses.size(), statusCount);
  EXPECT_EQ(model->remoteConnectedClientCount().get(), 0);

  // A start right after works, and the tablet connects again.
  ASSERT_TRUE(start()) << model->metrics->lastError.get() << " / " << model->remoteAccessStatus().get();
  ASSERT_TRUE(connects(first, "S3"));
}

INSTANTIATE_TEST_SUITE_P(Tablets, HostRemoteAccessTest, ::testing::ValuesIn(testing::remoteTablets()),
                         [](const auto& info) { return info.param.name; });

}  // namespace
}  // namespace veltrano::test
