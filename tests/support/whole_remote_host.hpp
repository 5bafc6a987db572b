#pragma once
// The whole host on its real services with remote access: a local wss signaling service that the host finds
// through VELTRANO_SIGNALING_URL and trusts through SSL_CERT_FILE, the host's peers in a network namespace, and
// tablets of the account (aiortc, headless Chromium) in a namespace of their own. Holds the fixed ports like the
// other tests of the whole host. A test suite derives from it and names the tablets it runs with.
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
#include "support/fake_remote_access.hpp"
#include "support/host_fixed_ports.hpp"
#include "support/network_namespaces.hpp"
#include "support/scoped_environment.hpp"
#include "support/signaling_tablet.hpp"
#include "support/signaling_test_service.hpp"
#include "support/temporary_folder.hpp"
#include "support/x11_test_env.hpp"
#include "transport/veltrano_identity.hpp"

namespace veltrano::testing {

struct TabletKind {
  std::string name;
  std::string command;
  bool restartsIce = false;  // answers a restart offer with new credentials, as a browser does
};
inline void PrintTo(const TabletKind& kind, std::ostream* out) { *out << kind.name; }

inline std::vector<TabletKind> remoteTablets() {
  return {TabletKind{"aiortc", "/usr/bin/python3 " VELTRANO_TEST_PEERS "/aiortc_tablet.py", false},
          TabletKind{"chromium", "node " VELTRANO_TEST_PEERS "/chromium_tablet.mjs", true}};
}

class WholeRemoteHostTest : public ::testing::TestWithParam<TabletKind> {
 public:
  static constexpr std::chrono::milliseconds kDeadline{30000};

  // Where the signaling service and the shared I/O threads live: beside the host's peers in its namespace (so that
  // the host's own path changes reach its signaling), or outside of it.
  enum class SignalingPlacement { inHostNamespace, outside };

 protected:
  WholeRemoteHostTest(std::string computerName, SignalingPlacement placement)
      : computerName_(std::move(computerName)), placement_(placement) {}

  void SetUp() override {
    VELTRANO_REQUIRE_X11();
    VELTRANO_REQUIRE_AVAHI();
    if (auto reason = NetworkNamespaces::unavailable()) GTEST_SKIP() << *reason;
    // Threads started after entering the host namespace live in it.
    if (placement_ == SignalingPlacement::inHostNamespace) namespaces.emplace();
    boost::asio::post(sharedIo().executor(), boost::asio::use_future).get();
    service.emplace();
    const auto authority = folder_.path() / "ca.pem";
    std::ofstream(authority) << service->authorityPem();
    environment_.set("VELTRANO_SIGNALING_URL",
                     ("wss://localhost:" + std::to_string(service->port()) + "/veltrano/v1/signal").c_str());
    environment_.set("SSL_CERT_FILE", authority.c_str());
    if (!namespaces) namespaces.emplace();
    networkThread = webrtc::startNetworkThread();

    RealHostServiceOptions services;
    services.identityProvider = [key = accountKey] { return VeltranoIdentity(key); };
    services.deviceDefaults = defaults;
    HostViewModel::Options options;
    options.services = makeRealHostServiceFactory(services);
    options.computerName = [name = computerName_] { return name; };
    model = HostViewModel::create(std::move(options));
    awaitOn(model->refreshPermissions());
    watches_.push_back(model->remoteAccessStatus().observe([this](const std::string& s) { statuses.push_back(s); }));
    watches_.push_back(
        model->remoteConnectionRoutes().observe([this](const std::vector<WebRTCRoute>& r) { routes.push_back(r); }));
    ASSERT_TRUE(start()) << model->metrics->lastError.get() << " / " << model->remoteAccessStatus().get() << " / "
                         << ::testing::PrintToString(service->events());
  }
  void TearDown() override {
    tablets_.clear();
    if (model) {
      model->stopServer(false);
      waitForShutdown();
      watches_.clear();
      model.reset();
    }
    loop.drain();
    networkThread.reset();
  }

  template <class T>
  T awaitOn(boost::asio::awaitable<T> operation) {
    auto future = boost::asio::co_spawn(loop.context(), std::move(operation), boost::asio::use_future);
    loop.runUntil([&] { return future.wait_for(std::chrono::seconds(0)) == std::future_status::ready; }, kDeadline);
    return future.get();
  }
  bool start() {
    model->startServer();
    loop.runUntil([&] { return !model->startupTask().get(); }, kDeadline);
    if (!model->metrics->isRunning.get()) return false;
    return loop.runUntil([&] { return model->remoteAccessStatus().get() == localized("host.remote.available"); },
                         kDeadline);
  }
  void stop() {
    model->stopServer(false);
    waitForShutdown();
  }
  void waitForShutdown() {
    const Task shutdown = model->shutdownTask().get().task;
    EXPECT_TRUE(loop.runUntil([&] { return !shutdown || shutdown.isFinished(); }, kDeadline));
  }

  std::string hostDevice() const { return defaults->values.at("veltrano.deviceID.mac"); }
  // The key of a localized status text, for readable expectations.
  static std::string status(const std::string& text) {
    for (const char* key : {"preparing", "available", "connecting_device", "ready", "recovering",
                            "recovering_connection", "stopped"}) {
      if (text == localized(std::string("host.remote.") + key)) return key;
    }
    return text;
  }
  std::vector<std::string> statusKeysFrom(std::size_t from) const {
    std::vector<std::string> keys;
    for (std::size_t i = from; i < statuses.size(); ++i) keys.push_back(status(statuses[i]));
    return keys;
  }

  // A tablet of the account, connected to signaling.
  SignalingTablet& tablet(const std::string& deviceID) {
    tablets_.push_back(std::make_unique<SignalingTablet>(*service, accountKey, deviceID));
    EXPECT_TRUE(tablets_.back()->connected.waitForCount(1, kDeadline));
    return *tablets_.back();
  }
  // The tablet offers for `sessionID` and the host answers; waits until the peer is connected and counted and the
  // host opened its media channels. A tablet that `reports` hands the host's messages to the test.
  bool connects(SignalingTablet& tablet, const std::string& sessionID, bool reports = false) {
    const auto audioOpenings = [&] {
      const auto labels = tablet.opened.values();
      return std::count(labels.begin(), labels.end(), std::string("veltrano.audio"));
    };
    const auto before = audioOpenings();
    tablet.offer(namespaces->inPeer() + GetParam().command, hostDevice(), sessionID, reports);
    const bool connected = loop.runUntil([&] {
      return model->remoteConnectedClientCount().get() == 1 &&
             model->remoteConnectionRoutes().get() == std::vector<WebRTCRoute>{WebRTCRoute::lan};
    }, kDeadline);
    return connected && loop.runUntil([&] { return audioOpenings() > before; }, kDeadline);
  }
  // A watching tablet subscribes to the display its hello names active, as a tablet showing it does.
  bool watchesTheActiveDisplay(SignalingTablet& tablet) {
    std::optional<nlohmann::json> hello;
    loop.runUntil([&] {
      hello = tablet.peer()->take([](const nlohmann::json& m) {
        if (m["type"] != "message" || m["label"] != "veltrano.control") return false;
        const auto message = nlohmann::json::parse(m["text"].get<std::string>(), nullptr, false);
        return message.is_object() && message.value("type", "") == "hello";
      }, std::chrono::milliseconds(0));
      return hello.has_value();
    }, kDeadline);
    if (!hello) return false;
    const auto active = nlohmann::json::parse(hello->at("text").get<std::string>())["activeDisplayID"];
    tablet.peer()->send({{"type", "send"}, {"label", "veltrano.control"},
                         {"text", nlohmann::json{{"type", "setVideoSubscriptions"}, {"displayIDs", {active}}}.dump()}});
    return keyframeAfter(tablet, 0);
  }
  // A keyframe of the video among what the tablet received after its first `seen` envelopes.
  bool keyframeAfter(SignalingTablet& tablet, std::size_t seen) {
    return loop.runUntil([&] {
      const auto envelopes = tablet.video.values();
      return std::any_of(envelopes.begin() + static_cast<long>(std::min(seen, envelopes.size())), envelopes.end(),
                         [](const nlohmann::json& e) { return e["kind"] == "frame" && e["keyframe"] == true; });
    }, kDeadline);
  }
  // The newest `count` lines of the activity log, one per line, for a failure's message.
  std::string lastLogLines(std::size_t count) const {
    const auto messages = logs.messages();
    std::string text;
    for (auto line = messages.size() > count ? messages.end() - static_cast<long>(count) : messages.begin();
         line != messages.end(); ++line) {
      text += *line + "\n";
    }
    return text;
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
      const auto events = service->events();
      return std::any_of(events.begin() + static_cast<long>(std::min(from, events.size())), events.end(),
                         [&](const std::string& event) { return event.rfind(prefix, 0) == 0; });
    }, kDeadline);
  }
  std::size_t sessions() const {
    return model->remoteCoordinator() ? model->remoteCoordinator()->sessions().size() : 0;
  }

  // In this order: the ports are held longest, the namespaces outlive the peers' thread.
  FixedPortsLock portsLock_;
  std::string computerName_;
  SignalingPlacement placement_;
  MainLoopForTests loop;
  ScopedLogCapture logs;
  TemporaryFolder folder_{"veltrano-remote-host"};
  std::optional<SignalingTestService> service;
  ScopedEnvironment environment_;
  std::optional<NetworkNamespaces> namespaces;
  std::shared_ptr<void> networkThread;
  platform::SigningKey accountKey = platform::SigningKey::generate();
  std::shared_ptr<MemoryDefaults> defaults = std::make_shared<MemoryDefaults>();
  std::shared_ptr<HostViewModel> model;
  std::vector<std::string> statuses;
  std::vector<std::vector<WebRTCRoute>> routes;
  std::vector<Subscription> watches_;
  std::vector<std::unique_ptr<SignalingTablet>> tablets_;
};

}  // namespace veltrano::testing
