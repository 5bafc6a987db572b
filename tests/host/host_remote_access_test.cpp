// Remote access of the whole host on its real services: a local wss signaling service that the host finds through
// VELTRANO_SIGNALING_URL and trusts through SSL_CERT_FILE, and tablets (aiortc, headless Chromium) in a network
// namespace of their own, whose signals go through the service as the account's "ipad" devices. Holds the fixed
// ports like the other tests of the whole host.
#include <gtest/gtest.h>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/use_future.hpp>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "base/executors.hpp"
#include "base/json.hpp"
#include "core/localization.hpp"
#include "core/log_capture.hpp"
#include "core/metrics_store.hpp"
#include "host/host_view_model.hpp"
#include "host/real_host_services.hpp"
#include "platform/crypto/signing_key.hpp"
#include "platform/dnssd/avahi_test_env.hpp"
#include "platform/webrtc/peer_connection.hpp"
#include "remote/signaling_client.hpp"
#include "support/eventually.hpp"
#include "support/fake_remote_access.hpp"
#include "support/host_fixed_ports.hpp"
#include "support/network_namespaces.hpp"
#include "support/peer_process.hpp"
#include "support/recorded_values.hpp"
#include "support/scoped_environment.hpp"
#include "support/signaling_tablet.hpp"
#include "support/signaling_test_service.hpp"
#include "support/temporary_folder.hpp"
#include "support/x11_test_env.hpp"
#include "transport/veltrano_identity.hpp"

namespace veltrano::test {
namespace {

using namespace std::chrono_literals;
using nlohmann::json;
using testing::NetworkNamespaces;

constexpr auto kDeadline = 30s;

struct TabletKind {
  std::string name;
  std::string command;
};
void PrintTo(const TabletKind& kind, std::ostream* out) { *out << kind.name; }

using Tablet = testing::SignalingTablet;

class HostRemoteAccessTest : public ::testing::TestWithParam<TabletKind> {
 protected:
  void SetUp() override {
    VELTRANO_REQUIRE_X11();
    VELTRANO_REQUIRE_AVAHI();
    if (auto reason = NetworkNamespaces::unavailable()) GTEST_SKIP() << *reason;
    // The service and the I/O threads (started here, if not yet) stay where they are; the host's peers and the
    // tablets get namespaces.
    boost::asio::post(sharedIo().executor(), boost::asio::use_future).get();
    service_.emplace();
    const auto authority = folder_.path() / "ca.pem";
    std::ofstream(authority) << service_->authorityPem();
    const std::string url = "wss://localhost:" + std::to_string(service_->port()) + "/veltrano/v1/signal";
    environment_.set("VELTRANO_SIGNALING_URL", url.c_str());
    environment_.set("SSL_CERT_FILE", authority.c_str());
    namespaces_.emplace();
    networkThread_ = webrtc::startNetworkThread();

    RealHostServiceOptions services;
    services.identityProvider = [key = accountKey] { return VeltranoIdentity(key); };
    services.deviceDefaults = defaults;
    HostViewModel::Options options;
    options.services = makeRealHostServiceFactory(services);
    options.computerName = [] { return std::string("Remote host test"); };
    model = HostViewModel::create(std::move(options));
    awaitOn(model->refreshPermissions());
    statusWatch_ = model->remoteAccessStatus.observe([this](const std::string& s) { statuses.push_back(s); });
    ASSERT_TRUE(start()) << model->metrics->lastError.get() << " / " << model->remoteAccessStatus.get() << " / "
                         << ::testing::PrintToString(service_->events());
  }
  void TearDown() override {
    tablets_.clear();
    if (model) {
      model->stopServer(false);
      waitForShutdown();
      statusWatch_.reset();
      model.reset();
    }
    loop.drain();
    networkThread_.reset();
  }

  template <class T>
  T awaitOn(boost::asio::awaitable<T> operation) {
    auto future = boost::asio::co_spawn(loop.context(), std::move(operation), boost::asio::use_future);
    loop.runUntil([&] { return future.wait_for(0s) == std::future_status::ready; }, kDeadline);
    return future.get();
  }
  bool start() {
    model->startServer();
    loop.runUntil([&] { return !model->startupTask.get(); }, kDeadline);
    if (!model->metrics->isRunning.get()) return false;
    return loop.runUntil([&] { return model->remoteAccessStatus.get() == localized("host.remote.available"); },
                         kDeadline);
  }
  void waitForShutdown() {
    const Task shutdown = model->shutdownTask.get().task;
    EXPECT_TRUE(loop.runUntil([&] { return !shutdown || shutdown.isFinished(); }, kDeadline));
  }
  std::string hostDevice() const { return defaults->values.at("veltrano.deviceID.mac"); }
  Tablet& tablet(const std::string& deviceID) {
    tablets_.push_back(std::make_unique<Tablet>(*service_, accountKey, deviceID));
    EXPECT_TRUE(tablets_.back()->connected.waitForCount(1, kDeadline));
    return *tablets_.back();
  }
  // The tablet offers for `sessionID` and the host answers; waits until the peer is connected and counted.
  bool connects(Tablet& tablet, const std::string& sessionID) {
    const auto audioOpenings = [&] {
      const auto labels = tablet.opened.values();
      return std::count(labels.begin(), labels.end(), std::string("veltrano.audio"));
    };
    const auto before = audioOpenings();
    tablet.offer(namespaces_->inPeer() + GetParam().command, hostDevice(), sessionID);
    const bool connected = loop.runUntil([&] {
      return model->remoteConnectedClientCount.get() == 1 &&
             model->remoteConnectionRoutes.get() == std::vector<WebRTCRoute>{WebRTCRoute::lan};
    }, kDeadline);
    // The host opens the media channels once connected; the tablet opened its own.
    return connected && testing::eventually([&] { return audioOpenings() > before; }, kDeadline);
  }
  bool logged(const std::string& line, std::chrono::milliseconds timeout = kDeadline) {
    return loop.runUntil([&] {
      const auto messages = logs.messages();
      return std::find(messages.begin(), messages.end(), line) != messages.end();
    }, timeout);
  }
  // A service event from `from` on, with the main loop turning meanwhile.
  bool serviceEvent(const std::string& prefix, std::size_t from) {
    return loop.runUntil([&] {
      const auto events = service_->events();
      return std::any_of(events.begin() + static_cast<long>(std::min(from, events.size())), events.end(),
                         [&](const std::string& event) { return event.rfind(prefix, 0) == 0; });
    }, kDeadline);
  }
  std::size_t sessions() const { return model->remoteCoordinator ? model->remoteCoordinator->sessions().size() : 0; }

  testing::FixedPortsLock portsLock_;
  MainLoopForTests loop;
  ScopedLogCapture logs;
  testing::TemporaryFolder folder_{"veltrano-remote-host"};
  std::optional<testing::SignalingTestService> service_;
  testing::ScopedEnvironment environment_;
  std::optional<NetworkNamespaces> namespaces_;
  std::shared_ptr<void> networkThread_;
  platform::SigningKey accountKey = platform::SigningKey::generate();
  std::shared_ptr<testing::MemoryDefaults> defaults = std::make_shared<testing::MemoryDefaults>();
  std::shared_ptr<HostViewModel> model;
  std::vector<std::string> statuses;
  Subscription statusWatch_;
  std::vector<std::unique_ptr<Tablet>> tablets_;
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
  EXPECT_EQ(model->remoteAccessStatus.get(), localized("host.remote.ready"));

  // A stranger's signal (sealed and signed under another account's key) is refused by signaling.
  const auto stranger = VeltranoIdentity(platform::SigningKey::generate());
  const std::string forged = json{{"type", "signal"}, {"fromDeviceId", "ipad-stranger"}, {"sessionId", "S-forged"},
                                  {"kind", "offer"}, {"payload", "AAAA"}, {"signature", "AAAA"}, {"sequence", 1},
                                  {"sentAt", 1}}.dump();
  service_->command("send " + hostDevice() + " " + forged);
  // Another tablet of the account naming the first one's session: dropped and logged; it also orders the two.
  Tablet& second = tablet("ipad-second");
  second.aim(hostDevice(), "S1");
  second.send("candidate", json{{"sdp", "candidate:1 1 udp 1 198.18.0.2 9 typ host"}, {"sdpMLineIndex", 0}});
  EXPECT_TRUE(logged("REMOTE: signal device mismatch for session=S1"));
  EXPECT_EQ(sessions(), 1u);
  EXPECT_FALSE(model->remoteCoordinator->sessions().contains("S-forged"));
  EXPECT_FALSE(logged("REMOTE: invalid offer signal for session=S-forged", 0s));
  EXPECT_EQ(model->remoteConnectedClientCount.get(), 1);

  // A malformed candidate of the session's own tablet ends it and reconnects signaling ("network changed").
  const auto events = service_->eventCount();
  first.send("candidate", json{{"sdp", "candidate:1 1 udp 1 198.18.0.2 9 typ host"}, {"sdpMLineIndex", -1}});
  EXPECT_TRUE(logged("REMOTE: invalid candidate signal for session=S1"));
  EXPECT_TRUE(serviceEvent("closed " + hostDevice() + " 1001 network changed", events));
  EXPECT_TRUE(serviceEvent("authenticated " + hostDevice(), events));
  EXPECT_TRUE(loop.runUntil([&] { return model->remoteConnectedClientCount.get() == 0; }, kDeadline));
  EXPECT_TRUE(model->remoteConnectionRoutes.get().empty());

  // The tablet comes back with a new session.
  ASSERT_TRUE(loop.runUntil([&] { return model->remoteAccessStatus.get() == localized("host.remote.available"); },
                            kDeadline));
  ASSERT_TRUE(connects(first, "S2"));

  // Stopping the host closes the tablet's channels and the WebSocket with 1000; nothing is reported afterwards.
  const auto beforeStop = service_->eventCount();
  model->stopServer(false);
  EXPECT_EQ(model->remoteConnectedClientCount.get(), 0);
  EXPECT_TRUE(model->remoteConnectionRoutes.get().empty());
  EXPECT_EQ(model->remoteAccessStatus.get(), localized("host.remote.stopped"));
  EXPECT_TRUE(serviceEvent("closed " + hostDevice() + " 1000", beforeStop));
  EXPECT_TRUE(first.closed.waitForMatch([](const std::string& l) { return l == "veltrano.control"; }, kDeadline));
  waitForShutdown();
  const auto statusCount = statuses.size();
  loop.runUntil([] { return false; }, 2s);
  EXPECT_EQ(statuses.size(), statusCount);
  EXPECT_EQ(model->remoteConnectedClientCount.get(), 0);

  // A start right after works, and the tablet connects again.
  ASSERT_TRUE(start()) << model->metrics->lastError.get() << " / " << model->remoteAccessStatus.get();
  ASSERT_TRUE(connects(first, "S3"));
}

INSTANTIATE_TEST_SUITE_P(Tablets, HostRemoteAccessTest,
                         ::testing::Values(TabletKind{"aiortc", "/usr/bin/python3 " VELTRANO_TEST_PEERS "/aiortc_tablet.py"},
                                           TabletKind{"chromium", "node " VELTRANO_TEST_PEERS "/chromium_tablet.mjs"}),
                         [](const auto& info) { return info.param.name; });

}  // namespace
}  // namespace veltrano::test
