#include "remote/signaling_client.hpp"

#include <gtest/gtest.h>

#include <boost/asio/ip/tcp.hpp>

#include <algorithm>
#include <list>
#include <thread>

#include "base/json.hpp"
#include "remote/signaling_error.hpp"
#include "support/eventually.hpp"
#include "support/private_network.hpp"
#include "support/run_blocking.hpp"
#include "support/signaling_test_service.hpp"
#include "support/temporary_folder.hpp"

namespace veltrano {
namespace {

using testing::eventually;
using testing::runBlocking;
using StateKind = SignalingClient::State::Kind;

// Everything one client reported, in order.
struct Reports {
  SignalingClient::Callbacks callbacks() {
    return {[this](const SignalingClient::State& state) {
              add("state", state.kind, state.failure);
              std::lock_guard lock(mutex);
              if (state.kind == StateKind::connected) connectedConnections.push_back(state.connection);
            },
            [this](const std::vector<SignalingDevice>& devices) {
              std::lock_guard lock(mutex);
              deviceLists.push_back(devices);
              order.push_back("devices");
            },
            [this](const SignalingPayload& payload) {
              std::lock_guard lock(mutex);
              signals.push_back(payload);
            },
            [this](const std::vector<SignalingICEServer>&) {
              std::lock_guard lock(mutex);
              order.push_back("ice");
            }};
  }
  void add(const char*, StateKind kind, const std::string& failure) {
    std::lock_guard lock(mutex);
    states.push_back(kind);
    order.push_back(kind == StateKind::connected ? "connected" : "state");
    if (kind == StateKind::failed) failures.push_back(failure);
  }
  std::size_t count(StateKind kind) const {
    std::lock_guard lock(mutex);
    return static_cast<std::size_t>(std::count(states.begin(), states.end(), kind));
  }
  template <class T>
  T read(T Reports::*field) const {
    std::lock_guard lock(mutex);
    return this->*field;
  }

  mutable std::mutex mutex;
  std::vector<StateKind> states;
  std::vector<std::uint64_t> connectedConnections;
  std::vector<std::string> failures;
  std::vector<std::string> order;
  std::vector<std::vector<SignalingDevice>> deviceLists;
  std::vector<SignalingPayload> signals;
};

class SignalingClientTest : public ::testing::Test {
 protected:
  ~SignalingClientTest() override {
    for (auto& client : clients_) runBlocking(client->stop());
  }

  std::shared_ptr<SignalingClient> makeClient(const std::string& deviceID, const std::string& role, Reports& reports,
                                              std::optional<platform::WssEndpoint> endpoint = std::nullopt) {
    auto client = SignalingClient::create(endpoint.value_or(service_.endpoint()), identity_, deviceID, deviceID, role,
                                          reports.callbacks(), clock_, service_.trustingOptions());
    clients_.push_back(client);
    return client;
  }

  std::shared_ptr<SignalingClient> connectedClient(const std::string& deviceID, const std::string& role,
                                                   Reports& reports) {
    auto client = makeClient(deviceID, role, reports);
    runBlocking(client->start());
    EXPECT_TRUE(eventually([&] { return reports.count(StateKind::connected) == 1; }));
    return client;
  }

  // Each failed attempt waits exactly the next of `waits` on the virtual clock before trying again; `earlier`
  // waits came before.
  void expectWaits(Reports& reports, const std::vector<int>& waits, std::size_t earlier = 0) {
    for (std::size_t i = 0; i < waits.size(); ++i) {
      const std::size_t n = earlier + i;
      ASSERT_TRUE(eventually([&] { return reports.count(StateKind::waitingToRetry) == n + 1 && clock_.sleeperCount() == 1; }))
          << "wait " << n << ": " << reports.count(StateKind::waitingToRetry) << " waits, " << clock_.sleeperCount()
          << " sleepers, last failure " << (reports.failures.empty() ? "" : reports.failures.back());
      clock_.advance(std::chrono::seconds(waits[i]) - std::chrono::milliseconds(1));
      EXPECT_EQ(clock_.sleeperCount(), 1u) << "wait " << n << " ended early";
      clock_.advance(std::chrono::milliseconds(1));
      ASSERT_TRUE(eventually([&] { return reports.count(StateKind::connecting) == n + 2; })) << "wait " << n << " is longer";
    }
  }

  void sendSignal(SignalingClient& client, const std::string& to, const std::string& text) {
    runBlocking(client.sendSignal(to, "s1", "offer", Bytes(text.begin(), text.end())));
  }

  // Outlives the clients, which report until they are stopped.
  Reports& newReports() { return reports_.emplace_back(); }

  testing::SignalingTestService service_;
  VirtualClock clock_;
  std::list<Reports> reports_;
  VeltranoIdentity identity_{platform::SigningKey::generate()};
  std::vector<std::shared_ptr<SignalingClient>> clients_;
};

TEST_F(SignalingClientTest, LogsInListsDevicesAndRelaysSignalsBetweenDevices) {
  Reports& hostReports = newReports();
  Reports& padReports = newReports();
  auto host = connectedClient("mac-1", "mac", hostReports);
  EXPECT_EQ(hostReports.read(&Reports::order), (std::vector<std::string>{"state", "ice", "devices", "connected"}));
  auto pad = connectedClient("ipad-1", "ipad", padReports);
  EXPECT_EQ(padReports.read(&Reports::deviceLists).back(), (std::vector<SignalingDevice>{{"mac-1", "mac-1", "mac"}}));
  ASSERT_TRUE(eventually([&] { return hostReports.read(&Reports::deviceLists).back().size() == 1; }));
  EXPECT_EQ(hostReports.read(&Reports::deviceLists).back().front().deviceId, "ipad-1");

  sendSignal(*pad, "mac-1", "v=0 offer");
  sendSignal(*pad, "mac-1", "candidate");
  ASSERT_TRUE(eventually([&] { return hostReports.read(&Reports::signals).size() == 2; }));
  const auto signals = hostReports.read(&Reports::signals);
  EXPECT_EQ(signals[0], (SignalingPayload{"ipad-1", "s1", "offer", Bytes{asBytes("v=0 offer").begin(), asBytes("v=0 offer").end()}, 1}));
  EXPECT_EQ(signals[1].sequence, 2u);

  // A signal for a device that is not online comes back as "peer_offline": the unchanged list is reported again.
  const auto reportsBefore = hostReports.read(&Reports::deviceLists).size();
  sendSignal(*host, "ipad-9", "answer");
  ASSERT_TRUE(eventually([&] { return hostReports.read(&Reports::deviceLists).size() == reportsBefore + 1; }));
  EXPECT_EQ(hostReports.read(&Reports::deviceLists).back().front().deviceId, "ipad-1");
}

TEST_F(SignalingClientTest, SurvivesADropAndKeepsNumberingSignals) {
  Reports& reports = newReports();
  EXPECT_THROW(sendSignal(*makeClient("mac-1", "mac", reports), "ipad-1", "early"), SignalingError);
  auto client = clients_.back();
  runBlocking(client->start());
  ASSERT_TRUE(eventually([&] { return reports.count(StateKind::connected) == 1; }));
  sendSignal(*client, "ipad-1", "first");
  ASSERT_TRUE(service_.waitForEvent("message mac-1 {\"kind\":\"offer\""));
  service_.command("drop mac-1");
  expectWaits(reports, {1});
  ASSERT_TRUE(eventually([&] { return reports.count(StateKind::connected) == 2; }));
  const auto from = service_.eventCount();
  sendSignal(*client, "ipad-1", "second");
  const auto sent = service_.waitForEvent("message mac-1", from);
  ASSERT_TRUE(sent);
  EXPECT_NE(sent->find("\"sequence\":2"), std::string::npos) << *sent;
}

TEST_F(SignalingClientTest, RefusesAMessageOverFourMebibytesAndReconnects) {
  Reports& reports = newReports();
  connectedClient("mac-1", "mac", reports);
  service_.command("blob mac-1 4194305");
  ASSERT_TRUE(eventually([&] { return reports.count(StateKind::failed) == 1; }));
  EXPECT_NE(reports.read(&Reports::failures).front().find("too large"), std::string::npos);
  expectWaits(reports, {1});
  EXPECT_TRUE(eventually([&] { return reports.count(StateKind::connected) == 2; }));
}

TEST_F(SignalingClientTest, FailedAttemptsBackOffUpToThirtySeconds) {
  asio::ip::tcp::acceptor vacated(sharedIo().executor(), {asio::ip::make_address("127.0.0.1"), 0});
  platform::WssEndpoint nobody{"127.0.0.1", vacated.local_endpoint().port(), "/veltrano/v1/signal"};
  vacated.close();
  Reports& reports = newReports();
  auto client = makeClient("mac-1", "mac", reports, nobody);
  runBlocking(client->start());
  expectWaits(reports, {1, 2, 4, 8, 16, 30, 30});

  // A network change (a path that came back) ends the wait at once.
  ASSERT_TRUE(eventually([&] { return clock_.sleeperCount() == 1; }));
  runBlocking(client->networkChanged());
  EXPECT_TRUE(eventually([&] { return reports.count(StateKind::connecting) == 9; }));

  // A stop interrupts the wait and is the last report.
  ASSERT_TRUE(eventually([&] { return clock_.sleeperCount() == 1; }));
  runBlocking(client->stop());
  EXPECT_EQ(clock_.sleeperCount(), 0u);
  EXPECT_EQ(reports.read(&Reports::states).back(), StateKind::stopped);
}

TEST_F(SignalingClientTest, OnlyAConnectionThatLastedAHeartbeatStartsTheBackOffAgain) {
  // A service that sheds every host right after authenticating it sees the waits grow.
  service_.command("drop-after-auth on");
  Reports& reports = newReports();
  runBlocking(makeClient("mac-1", "mac", reports)->start());
  expectWaits(reports, {1, 2});
  ASSERT_TRUE(eventually([&] { return reports.count(StateKind::waitingToRetry) == 3; }));
  service_.command("drop-after-auth off");
  service_.command("drop nobody");  // answered once the line before was taken in
  ASSERT_TRUE(service_.waitForEvent("unknown nobody"));
  expectWaits(reports, {4}, 2);

  // A connection that stayed up for a heartbeat interval was healthy: its drop waits 1 s again.
  ASSERT_TRUE(eventually([&] { return reports.count(StateKind::connected) == 4 && clock_.sleeperCount() == 1; }));
  const auto from = service_.eventCount();
  clock_.advance(SignalingClient::heartbeatInterval);
  ASSERT_TRUE(service_.waitForEvent(R"(message mac-1 {"type":"ping"})", from));
  service_.command("drop mac-1");
  expectWaits(reports, {1}, 3);
  EXPECT_EQ(reports.count(StateKind::failed), 4u);
}

TEST_F(SignalingClientTest, NetworkChangeClosesOnceAndReconnectsAtOnce) {
  Reports& reports = newReports();
  auto client = connectedClient("mac-1", "mac", reports);
  const std::uint64_t replaced = runBlocking(client->networkChanged());
  ASSERT_TRUE(eventually([&] { return reports.count(StateKind::connected) == 2; }));
  EXPECT_EQ(reports.count(StateKind::failed), 0u);
  // The states tell the two connections apart: the replaced one's number, then a higher one.
  const auto connections = reports.read(&Reports::connectedConnections);
  EXPECT_EQ(connections.front(), replaced);
  EXPECT_GT(connections.back(), replaced);

  runBlocking(client->stop());
  ASSERT_TRUE(service_.waitForEvent("closed mac-1 1000"));
  EXPECT_EQ(reports.read(&Reports::states).back(), StateKind::stopped);
  EXPECT_TRUE(reports.read(&Reports::deviceLists).back().empty());
  // Both connections have ended (the first one's report may come last).
  ASSERT_TRUE(eventually([&] {
    std::vector<std::string> closes;
    for (const auto& event : service_.events()) {
      if (event.rfind("closed mac-1", 0) == 0) closes.push_back(event);
    }
    std::sort(closes.begin(), closes.end());
    return closes == std::vector<std::string>{"closed mac-1 1000 -", "closed mac-1 1001 network changed"};
  }));
}

TEST_F(SignalingClientTest, StopEndsAndJoinsALoopThatANetworkChangeReplaced) {
  Reports& reports = newReports();
  auto client = SignalingClient::create(service_.endpoint(), identity_, "mac-1", "mac-1", "mac", reports.callbacks(),
                                        clock_, service_.trustingOptions());
  runBlocking(client->start());
  ASSERT_TRUE(eventually([&] { return reports.count(StateKind::connected) == 1; }));
  // The server stops reading: the old connection's close then waits for an answer that does not come.
  service_.command("stall mac-1");
  ASSERT_TRUE(service_.waitForEvent("stalled mac-1"));
  runBlocking(client->networkChanged());
  ASSERT_TRUE(eventually([&] { return reports.count(StateKind::connected) == 2; }));

  runBlocking(client->stop());
  EXPECT_EQ(reports.read(&Reports::states).back(), StateKind::stopped);
  // Only a run loop that is still alive can hold the client now.
  const std::weak_ptr<SignalingClient> weakClient = client;
  client.reset();
  EXPECT_TRUE(weakClient.expired());
}

TEST_F(SignalingClientTest, AReplacedAccountKeyReconnectsAtOnceWithoutAFailure) {
  testing::TemporaryFolder folder;
  const platform::AccountKeyFile store(folder.path());
  identity_ = VeltranoIdentity::loadOrCreate(store);
  Reports& reports = newReports();
  connectedClient("mac-1", "mac", reports);
  const auto listsBefore = reports.read(&Reports::deviceLists).size();
  testing::writeText(folder / "replacement", base64urlEncode(platform::SigningKey::generate().seed().view()) + "\n");
  std::filesystem::rename(folder / "replacement", store.filePath());
  ASSERT_TRUE(eventually([&] { return clock_.sleeperCount() == 1; }));
  clock_.advance(SignalingClient::heartbeatInterval);
  EXPECT_EQ(service_.waitForEvent("closed mac-1"), "closed mac-1 1001 identity refreshed");
  ASSERT_TRUE(eventually([&] { return reports.count(StateKind::connected) == 2; }));
  EXPECT_EQ(reports.count(StateKind::failed), 0u);
  EXPECT_TRUE(reports.read(&Reports::deviceLists).at(listsBefore).empty());
}

TEST_F(SignalingClientTest, HeartbeatPingsAndAsksForIceServersAfterTenMinutes) {
  Reports& reports = newReports();
  connectedClient("mac-1", "mac", reports);
  for (int tick = 1; tick <= 30; ++tick) {
    ASSERT_TRUE(eventually([&] { return clock_.sleeperCount() == 1; })) << tick;
    const auto from = service_.eventCount();
    clock_.advance(SignalingClient::heartbeatInterval);
    if (tick == 30) {
      EXPECT_EQ(service_.waitForEvent("message mac-1", from), R"(message mac-1 {"type":"iceServers"})");
    }
    EXPECT_TRUE(service_.waitForEvent(R"(message mac-1 {"type":"ping"})", from)) << tick;
  }
  std::size_t requests = 0;
  for (const auto& event : service_.events()) requests += event == R"(message mac-1 {"type":"iceServers"})";
  EXPECT_EQ(requests, 1u);
}

TEST_F(SignalingClientTest, DropsBadSignalsButEndsTheConnectionForOnesThatDoNotOpen) {
  Reports& reports = newReports();
  connectedClient("mac-1", "mac", reports);
  auto relayed = [](const SignalingOutgoingSignal& signal) {
    return json::dump(json::Json{{"type", "signal"}, {"fromDeviceId", "ipad-1"}, {"sessionId", signal.sessionId},
                                 {"kind", signal.kind}, {"payload", signal.payload}, {"signature", signal.signature},
                                 {"sequence", signal.sequence}, {"sentAt", signal.sentAt}});
  };
  auto forged = makeSignalingOutgoingSignal(VeltranoIdentity(platform::SigningKey::generate()), "ipad-1", "mac-1",
                                            "s1", "offer", asBytes("x"), 1, 0);
  service_.command("send mac-1 " + relayed(forged));
  service_.command(R"(send mac-1 {"type":"presence","state":"online","device":{"deviceId":"ipad-1","deviceName":"Pad","role":"ipad"}})");
  ASSERT_TRUE(eventually([&] { return reports.read(&Reports::deviceLists).back().size() == 1; }));
  EXPECT_TRUE(reports.read(&Reports::signals).empty());
  EXPECT_EQ(reports.count(StateKind::failed), 0u);

  auto unopenable = makeSignalingOutgoingSignal(VeltranoIdentity(platform::SigningKey::generate()), "ipad-1",
                                                "mac-1", "s1", "offer", asBytes("x"), 2, 0);
  const auto text = signalingSignalText("ipad-1", "mac-1", "s1", "offer", unopenable.payload, 2, 0);
  unopenable.signature = base64urlEncode(identity_.privateKey().sign(asBytes(text)));
  service_.command("send mac-1 " + relayed(unopenable));
  EXPECT_TRUE(eventually([&] { return reports.count(StateKind::failed) == 1; }));
  EXPECT_TRUE(reports.read(&Reports::signals).empty());
}

// Runs in a network namespace of its own, so that a path can die for real: TCP's keep-alive must notice it.
TEST(SignalingClientPath, NoticesAPathThatDiedSilentlyButKeepsAQuietOneThatAnswers) {
  if (!testing::insidePrivateNetwork()) {
    if (auto reason = testing::privateNetworkUnavailable()) GTEST_SKIP() << *reason;
    EXPECT_EQ(testing::runCurrentTestInPrivateNetwork(), 0);
    return;
  }
  testing::SignalingTestService service;
  VirtualClock clock;  // never advanced: no heartbeat traffic, the connections stay quiet
  const VeltranoIdentity identity(platform::SigningKey::generate());
  Reports reports;
  auto options = service.trustingOptions();
  options.deadPathTimeout = std::chrono::seconds(2);
  auto client = SignalingClient::create(service.endpoint(), identity, "mac-1", "mac-1", "mac", reports.callbacks(),
                                        clock, options);
  runBlocking(client->start());
  ASSERT_TRUE(eventually([&] { return reports.count(StateKind::connected) == 1; }));
  // Beside it on the same path, a client that gives a dead path ten minutes: the cut reaches both at once, so
  // only the time each was given can tell them apart.
  Reports patientReports;
  auto patientOptions = service.trustingOptions();
  patientOptions.deadPathTimeout = std::chrono::minutes(10);
  auto patient = SignalingClient::create(service.endpoint(), identity, "mac-2", "mac-2", "mac",
                                         patientReports.callbacks(), clock, patientOptions);
  runBlocking(patient->start());
  ASSERT_TRUE(eventually([&] { return patientReports.count(StateKind::connected) == 1; }));

  std::this_thread::sleep_for(std::chrono::seconds(4));
  EXPECT_EQ(reports.count(StateKind::failed), 0u) << "a quiet connection that answers was closed";

  testing::dropTcpFromPort(service.port());
  ASSERT_TRUE(eventually([&] { return reports.count(StateKind::failed) == 1; }, std::chrono::seconds(60)));
  // As long again: the patient client, cut at the same moment, still holds its connection.
  std::this_thread::sleep_for(options.deadPathTimeout);
  EXPECT_EQ(patientReports.count(StateKind::failed), 0u) << "the cut was noticed by something else than the time given";
  // Its path back, the patient client's close is answered.
  testing::restoreTcpFromPort(service.port());
  runBlocking(client->stop());
  runBlocking(patient->stop());
}

}  // namespace
}  // namespace veltrano
