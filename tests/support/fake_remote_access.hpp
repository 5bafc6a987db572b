#pragma once
// Stand-ins for what the remote host coordinator runs on: a signaling connection that records what it is asked
// and lets the test report states, devices, ICE servers and signals as the service would; settings in memory; an
// identity that loads or fails on request. Calls go into a journal ("signaling.start").
#include <boost/asio/awaitable.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/asio/use_future.hpp>

#include <algorithm>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "control/input_command_handler.hpp"
#include "control/input_controller.hpp"
#include "core/log_capture.hpp"
#include "core/metrics_store.hpp"
#include "filetransfer/remote_file_transfer_coordinator.hpp"
#include "platform/crypto/signing_key.hpp"
#include "remote/remote_host_coordinator.hpp"
#include "remote/signaling_error.hpp"
#include "support/fake_webrtc_peer.hpp"
#include "support/scripted_path_monitor.hpp"

namespace veltrano::testing {

class MemoryDefaults final : public StringDefaults {
 public:
  std::optional<std::string> string(const std::string& key) const override {
    const auto found = values.find(key);
    return found == values.end() ? std::nullopt : std::optional<std::string>(found->second);
  }
  void setString(const std::string& key, const std::string& value) override { values[key] = value; }
  std::map<std::string, std::string> values;
};

struct SentSignal {
  std::string to;
  std::string sessionID;
  std::string kind;
  Bytes data;
};

class FakeRemoteSignaling final : public RemoteSignaling {
 public:
  using Journal = std::function<void(std::string)>;
  FakeRemoteSignaling(RemoteSignalingLogin login, SignalingClient::Callbacks callbacks, Journal journal)
      : login(std::move(login)), callbacks(std::move(callbacks)), journal_(std::move(journal)) {}

  boost::asio::awaitable<void> start() override {
    journal_("signaling.start");
    co_return;
  }
  // As the real client: the last report is `stopped`, then nothing more.
  boost::asio::awaitable<void> stop() override {
    journal_("signaling.stop");
    report(SignalingClient::State::Kind::stopped);
    stopped = true;
    co_return;
  }
  boost::asio::awaitable<std::uint64_t> networkChanged() override {
    journal_("signaling.networkChanged");
    // A state the replaced connection reported just before it was closed, still on its way to the coordinator.
    if (const auto late = std::exchange(lateReportOfReplacedConnection, std::nullopt)) report(*late);
    const std::uint64_t replaced = connection++;
    // The new connection got through before the caller resumed.
    if (std::exchange(newConnectionConnectsAtOnce, false)) report(SignalingClient::State::Kind::connected);
    // The real client answers from its own executor: the caller resumes after what was already queued to it.
    co_await boost::asio::post(co_await boost::asio::this_coro::executor, boost::asio::use_awaitable);
    co_return replaced;
  }
  void setNetworkPathAvailable(bool available) override { networkPathAvailable = available; }
  boost::asio::awaitable<void> sendSignal(std::string to, std::string sessionID, std::string kind,
                                          Bytes data) override {
    journal_("signaling.send " + kind + " " + sessionID);
    if (failSends) throw SignalingError(SignalingError::Kind::notConnectedToInternet);
    sent.push_back({std::move(to), std::move(sessionID), std::move(kind), std::move(data)});
    co_return;
  }

  // The service's side; each goes through the coordinator's callbacks, as the client's would.
  std::optional<SignalingClient::State::Kind> lateReportOfReplacedConnection;
  bool newConnectionConnectsAtOnce = false;
  std::uint64_t connection = 1;  // the number states carry; a network change counts one up

  void report(SignalingClient::State::Kind kind) {
    if (!stopped) callbacks.onState(SignalingClient::State{kind, {}, connection});
  }
  // As the real client: a list goes only to a holder that asked for it.
  void reportDevices(const std::vector<SignalingDevice>& devices) {
    if (callbacks.onDevices) callbacks.onDevices(devices);
  }
  void reportICEServers(const std::vector<SignalingICEServer>& servers) { callbacks.onICEServers(servers); }
  void reportSignal(const SignalingPayload& signal) { callbacks.onSignal(signal); }

  const RemoteSignalingLogin login;
  const SignalingClient::Callbacks callbacks;
  std::vector<SentSignal> sent;
  bool failSends = false;
  bool stopped = false;
  bool networkPathAvailable = true;

 private:
  Journal journal_;
};

// Everything remote access runs on, for one test; `environment()` hands it to a coordinator.
class FakeRemoteAccess {
 public:
  explicit FakeRemoteAccess(FakeRemoteSignaling::Journal journal, Clock& clock) : journal_(std::move(journal)), clock_(clock) {}

  RemoteHostEnvironment environment(std::function<std::string()> computerName = [] { return std::string("Desk"); }) {
    RemoteHostEnvironment made;
    made.loadIdentity = [this] {
      journal_("remote.identity");
      if (identityFailure) throw std::runtime_error(*identityFailure);
      return VeltranoIdentity(platform::SigningKey::generate());
    };
    made.defaults = defaults;
    made.computerName = std::move(computerName);
    made.signalingEndpoint = platform::WssEndpoint{"signal.test", 443, "/veltrano/v1/signal"};
    made.makeSignaling = [this](RemoteSignalingLogin login, SignalingClient::Callbacks callbacks) {
      journal_("signaling.create " + login.deviceName);
      auto client = std::make_shared<FakeRemoteSignaling>(std::move(login), std::move(callbacks), journal_);
      clients.push_back(client);
      return client;
    };
    made.makePeerConnection = peers.function();
    made.clock = &clock_;
    made.makeNetworkPathMonitor = [this] {
      pathMonitors.push_back(std::make_shared<ScriptedPathMonitor>());
      return pathMonitors.back();
    };
    return made;
  }
  FakeRemoteSignaling& signaling() { return *clients.back(); }
  ScriptedPathMonitor& pathMonitor() { return *pathMonitors.back(); }

  std::optional<std::string> identityFailure;
  std::shared_ptr<MemoryDefaults> defaults = std::make_shared<MemoryDefaults>();
  std::vector<std::shared_ptr<FakeRemoteSignaling>> clients;
  FakePeerFactory peers;
  std::vector<std::shared_ptr<ScriptedPathMonitor>> pathMonitors;  // one per start

 private:
  FakeRemoteSignaling::Journal journal_;
  Clock& clock_;
};

// A coordinator on these stand-ins, on a main loop and virtual time, with what it reports recorded.
class CoordinatorOnStandIns {
 public:
  std::shared_ptr<RemoteHostCoordinator> make(std::function<std::string()> name = [] { return std::string("Desk"); }) {
    auto made = RemoteHostCoordinator::create(metrics, handler, transfers, remote.environment(std::move(name)));
    made->onStatusChanged = [this](const std::string& text) { statuses.push_back(text); };
    made->onRoutesChanged = [this](const std::vector<WebRTCRoute>& list) { routes.push_back(list); };
    made->onConnectedClientCountChanged = [this](std::int64_t count) { counts.push_back(count); };
    return made;
  }
  // Lets the hops between the main loop, the peers' strands, the path queues and the fake network thread run out.
  void settle() {
    for (int round = 0; round < 6; ++round) {
      loop.drain();
      remote.peers.network().flush();
      for (const auto& monitor : remote.pathMonitors) monitor->flush();
      if (coordinator) {
        for (const auto& [id, session] : coordinator->sessions()) {
          boost::asio::post(session.peer->executor(), boost::asio::use_future).get();
        }
      }
      loop.drain();
    }
  }
  // Started, connected to signaling, with an ICE server list.
  void running(std::vector<SignalingICEServer> servers = {}) {
    coordinator->startRemoteHost();
    settle();
    remote.signaling().report(SignalingClient::State::Kind::connected);
    remote.signaling().reportICEServers(servers);
    settle();
  }
  void signal(const std::string& from, const std::string& session, const std::string& kind, const std::string& body) {
    remote.signaling().reportSignal({from, session, kind, Bytes(body.begin(), body.end()), ++signalSequence_});
    settle();
  }
  std::size_t journalCount(const std::string& entry) const {
    return static_cast<std::size_t>(std::count(journal.begin(), journal.end(), entry));
  }

  MainLoopForTests loop;
  VirtualClock clock{[this] { loop.drain(); }};
  ScopedLogCapture logs;
  std::vector<std::string> journal;
  FakeRemoteAccess remote{[this](std::string entry) { journal.push_back(std::move(entry)); }, clock};
  std::shared_ptr<MetricsStore> metrics = std::make_shared<MetricsStore>();
  std::shared_ptr<InputCommandHandler> handler =
      InputCommandHandler::create(InputController::create(nullptr, [] { return false; }, clock), metrics, clock);
  std::shared_ptr<RemoteFileTransferCoordinator> transfers = RemoteFileTransferCoordinator::create(nullptr);
  std::vector<std::string> statuses;
  std::vector<std::vector<WebRTCRoute>> routes;
  std::vector<std::int64_t> counts;
  std::shared_ptr<RemoteHostCoordinator> coordinator;

 private:
  std::uint64_t signalSequence_ = 0;
};

}  // namespace veltrano::testing
