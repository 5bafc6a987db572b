// The host on its real services under the test environment: Xvfb's two monitors, the Avahi daemon, loopback
// sockets on the fixed ports. These tests hold the fixed ports (ctest's RESOURCE_LOCK within a run, a file lock
// across runs on the same machine).
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <set>
#include <string>
#include <vector>

#include "base/executors.hpp"
#include "core/log_capture.hpp"
#include "core/metrics_store.hpp"
#include "host/host_view_model.hpp"
#include "host/real_host_services.hpp"
#include "media/media_envelope.hpp"
#include "platform/crypto/signing_key.hpp"
#include "platform/dnssd/avahi_test_env.hpp"
#include "support/host_fixed_ports.hpp"
#include "support/local_test_client.hpp"
#include "support/run_blocking.hpp"
#include "support/scoped_environment.hpp"
#include "support/temporary_folder.hpp"
#include "support/two_monitor_screen.hpp"
#include "support/x11_test_env.hpp"
#include "transport/veltrano_identity.hpp"

namespace veltrano::test {
namespace {

using namespace std::chrono_literals;
using testing::awaitOn;
using testing::LocalTestClient;

using testing::acceptsConnections;
using testing::FixedPortsLock;
const auto& hostPorts = testing::kHostPorts;

class HostRealServicesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    VELTRANO_REQUIRE_X11();
    VELTRANO_REQUIRE_AVAHI();
  }
  void TearDown() override {
    for (auto& client : clients_) client->close();
    if (model) {
      model->stopServer(false);
      waitForShutdown();
      model.reset();
    }
    loop.drain();
  }

  // `captureDisplay`: the X server the host captures (empty: $DISPLAY); `modelClock`: the model's waits.
  void makeModel(Clock* bonjourClock = nullptr, const std::string& captureDisplay = {}, Clock* modelClock = nullptr) {
    RealHostServiceOptions services;
    if (!readsAccountKeyFile) services.identityProvider = [key = accountKey] { return VeltranoIdentity(key); };
    services.clock = bonjourClock;
    services.captureEnvironment.xDisplayName = captureDisplay;
    HostViewModel::Options options;
    options.services = makeRealHostServiceFactory(services);
    options.clock = modelClock;
    options.track = [this](AnalyticsEvent event, std::optional<std::string> detail) {
      if (event == AnalyticsEvent::server_start_failed) failureReasons.push_back(detail.value_or(""));
    };
    options.computerName = [] { return "Host test " + std::to_string(::getpid()); };
    model = HostViewModel::create(std::move(options));
    awaitOn(loop, model->refreshPermissions());
    ASSERT_TRUE(model->hasAllPermissions()) << "Xvfb with XTEST counts as both permissions";
  }

  // Starts and waits until the start-up has ended; true when the host runs.
  bool start() {
    model->startServer();
    loop.runUntil([&] { return !model->startupTask().get(); }, 30s);
    return model->metrics->isRunning.get();
  }

  void waitForShutdown() {
    const Task shutdown = model->shutdownTask().get().task;
    EXPECT_TRUE(loop.runUntil([&] { return !shutdown || shutdown.isFinished(); }, 30s));
  }

  std::shared_ptr<LocalTestClient> connect(std::uint16_t port, LocalTransportChannel channel) {
    auto client = awaitOn(loop, LocalTestClient::connect(port, channel, accountKey, {}));
    clients_.push_back(client);
    return client;
  }

  void expectBonjourRefusal(const std::string& busAddress);

  std::optional<json::Json> hello(const std::shared_ptr<LocalTestClient>& control) {
    return awaitOn(loop, control->nextJSON(10s));
  }

  // The next video frame envelope on `client`, with the main loop turning.
  bool receivesVideoFrame(const std::shared_ptr<LocalTestClient>& client) {
    const auto deadline = std::chrono::steady_clock::now() + 20s;
    while (std::chrono::steady_clock::now() < deadline) {
      const auto record = awaitOn(loop, client->nextRecord(1s));
      if (!record) continue;
      const auto envelope = parseMediaEnvelope(*record);
      if (envelope && envelope->type == MediaEnvelopeType::videoFrame) return true;
    }
    return false;
  }

  FixedPortsLock portsLock_;
  MainLoopForTests loop;
  platform::SigningKey accountKey = platform::SigningKey::generate();
  bool readsAccountKeyFile = false;  // the servers read the key file under $XDG_DATA_HOME, as the program does
  std::shared_ptr<HostViewModel> model;
  std::vector<std::string> failureReasons;
  std::vector<std::shared_ptr<LocalTestClient>> clients_;
};

TEST_F(HostRealServicesTest, StartsOnBothMonitorsServesEveryPortAndStartsAgainAfterAStop) {
  makeModel();
  ASSERT_TRUE(start()) << model->metrics->lastError.get();
  ASSERT_EQ(model->displaySessions().get().size(), 2u);
  const auto active = model->metrics->activeDisplayID.get();
  const auto session = model->displaySession(active);
  ASSERT_TRUE(session);
  EXPECT_EQ(session->videoPort, 9100) << "VL-LEFT is primary and has the smaller position";

  auto control = connect(9090, LocalTransportChannel::control);
  const auto greeting = hello(control);
  ASSERT_TRUE(greeting);
  EXPECT_EQ((*greeting)["type"], "hello");
  EXPECT_EQ((*greeting)["displays"].size(), 2u);
  connect(9092, LocalTransportChannel::audio);
  connect(9093, LocalTransportChannel::file);
  auto video = connect(session->videoPort, LocalTransportChannel::video);
  connect(session->videoPort == 9100 ? 9101 : 9100, LocalTransportChannel::video);

  // The control client is what makes capture wanted.
  EXPECT_TRUE(receivesVideoFrame(video));
  EXPECT_TRUE(loop.runUntil([&] { return model->isCaptureActive().get(); }, 10s));
  EXPECT_EQ(model->localControlClientCount().get(), 1);

  const auto name = "Host test " + std::to_string(::getpid());
  EXPECT_TRUE(testing::eventually(
      [&] {
        for (const auto& service : browse("_veltrano._tcp")) {
          if (service.name == name && service.port == 9090) return true;
        }
        return false;
      },
      20s));

  model->stopServer(false);
  waitForShutdown();
  for (const auto port : hostPorts) EXPECT_FALSE(acceptsConnections(port)) << port;

  ASSERT_TRUE(start()) << model->metrics->lastError.get();
  EXPECT_TRUE(hello(connect(9090, LocalTransportChannel::control)));
}

// The host capturing a private X server of two monitors, with the model's waits on virtual time.
class HostCaptureRecoveryTest : public HostRealServicesTest {
 protected:
  bool logged(const std::string& start) const {
    const auto messages = logs.messages();
    return std::any_of(messages.begin(), messages.end(), [&](const std::string& m) { return m.starts_with(start); });
  }

  TwoMonitorScreen screen;
  ScopedLogCapture logs;
  VirtualClock clock{[this] { loop.drain(); }};
};

// A captured monitor that goes away stops its capture alone; the retries follow their schedule on the model's
// clock, and the first one after the monitor is back restarts the capture.
TEST_F(HostCaptureRecoveryTest, ACaptureWhoseMonitorWentAwayRestartsOnTheRetryScheduleOnceItIsBack) {
  VELTRANO_START_TWO_MONITOR_SCREEN(screen);
  makeModel(nullptr, screen.name(), &clock);
  ASSERT_TRUE(start()) << model->metrics->lastError.get();
  const std::uint32_t left = screen.left().id;
  const std::uint32_t right = screen.right().id;
  ASSERT_TRUE(model->displaySession(right));
  ASSERT_TRUE(hello(connect(9090, LocalTransportChannel::control)));
  const std::set<std::uint32_t> both{left, right};
  ASSERT_TRUE(loop.runUntil([&] { return model->activeCaptureDisplayIDs().get() == both; }, 20s));

  // The retry is pending once its task sleeps on the model's clock.
  const std::size_t sleepersBefore = clock.sleeperCount();
  const auto retryWaits = [&] {
    return model->captureRetryTasks().get().contains(right) && clock.sleeperCount() == sleepersBefore + 1;
  };
  ASSERT_EQ(screen.runXrandr("--delmonitor VL-RIGHT"), 0);
  ASSERT_TRUE(loop.runUntil(retryWaits, 20s));
  EXPECT_EQ(model->activeCaptureDisplayIDs().get(), std::set<std::uint32_t>{left});
  EXPECT_TRUE(model->metrics->isCapturing.get()) << "the other display goes on";

  const std::string firstFailure = "capture retry 1 failed for display " + std::to_string(right);
  clock.advance(499ms);
  EXPECT_TRUE(retryWaits()) << "the first retry comes after half a second";
  clock.advance(1ms);
  ASSERT_TRUE(loop.runUntil([&] { return logged(firstFailure) && retryWaits(); }, 20s)) << "the monitor is gone";

  ASSERT_EQ(screen.runXrandr("--setmonitor VL-RIGHT 320/85x480/127+320+0 none"), 0);
  clock.advance(999ms);
  EXPECT_TRUE(retryWaits()) << "the second retry comes one second after the first";
  clock.advance(1ms);
  const std::string recovered = "Captura recuperada display=" + std::to_string(right) + " intento=2";
  ASSERT_TRUE(loop.runUntil([&] { return logged(recovered); }, 20s));
  EXPECT_EQ(model->activeCaptureDisplayIDs().get(), both);
  EXPECT_FALSE(model->captureRetryTasks().get().contains(right));
}

// Without a daemon to publish through, the start fails with the Bonjour reason and closes every port. The Bonjour
// time-out's clock never moves, so only a prompt refusal can end the start. The process keeps its first system
// bus connection: ctest runs each case in a process of its own.
void HostRealServicesTest::expectBonjourRefusal(const std::string& busAddress) {
  const std::string saved = std::getenv("DBUS_SYSTEM_BUS_ADDRESS") ? std::getenv("DBUS_SYSTEM_BUS_ADDRESS") : "";
  ::setenv("DBUS_SYSTEM_BUS_ADDRESS", busAddress.c_str(), 1);
  VirtualClock stoppedClock;
  makeModel(&stoppedClock);
  const bool started = start();
  ::setenv("DBUS_SYSTEM_BUS_ADDRESS", saved.c_str(), 1);
  EXPECT_FALSE(started);
  EXPECT_EQ(failureReasons, std::vector<std::string>{"bonjour"});
  for (const auto port : hostPorts) EXPECT_FALSE(acceptsConnections(port)) << port;
}

TEST_F(HostRealServicesTest, WithoutAnAvahiDaemonTheStartFailsWithTheBonjourReason) {
  BusWithoutAvahi bus;
  ASSERT_TRUE(bus.waitUntilListening());
  expectBonjourRefusal(bus.address());
}

TEST_F(HostRealServicesTest, WithoutASystemBusTheStartFailsWithTheBonjourReason) {
  expectBonjourRefusal("unix:path=/nonexistent/veltrano/system_bus_socket");
}

TEST_F(HostRealServicesTest, AMalformedAccountKeyFileFailsTheStartSaysWhatToDoAndIsKept) {
  testing::TemporaryFolder data;
  testing::ScopedEnvironment dataHome("XDG_DATA_HOME", data.path().c_str());
  std::filesystem::create_directory(data / "veltrano");
  std::filesystem::permissions(data / "veltrano", std::filesystem::perms::owner_all);
  const std::filesystem::path keyFile = data / "veltrano" / "account-signing-key";
  testing::writeText(keyFile, "not a key\n");
  std::filesystem::permissions(keyFile, std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
  ScopedLogCapture log;
  readsAccountKeyFile = true;
  makeModel();
  EXPECT_FALSE(start());
  EXPECT_EQ(failureReasons, std::vector<std::string>{"account_key"});
  const std::string shown = model->metrics->lastError.get();
  EXPECT_NE(shown.find("Put the key your tablet uses in the account key file"), std::string::npos) << shown;
  const auto lines = log.lines();
  EXPECT_NE(std::find(lines.begin(), lines.end(), CapturedLogLine{LogCategory::Error, "server startup: " + shown}),
            lines.end());
  EXPECT_FALSE(acceptsConnections(9090));
  EXPECT_EQ(testing::readText(keyFile), "not a key\n");
}

TEST_F(HostRealServicesTest, APortInUseFailsTheStartAndClosesWhatOpened) {
  boost::asio::io_context context;
  boost::asio::ip::tcp::acceptor taken(context, {boost::asio::ip::make_address("0.0.0.0"), 9092});
  makeModel();
  EXPECT_FALSE(start());
  EXPECT_EQ(failureReasons, std::vector<std::string>{"audio_server"});
  EXPECT_FALSE(acceptsConnections(9093)) << "the file server had opened and is closed again";
  EXPECT_FALSE(acceptsConnections(9090));
}

}  // namespace
}  // namespace veltrano::test
