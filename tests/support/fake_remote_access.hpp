#pragma once
// Stand-ins for what the remote host coordinator runs on: a signaling connection that records what it is asked
// and lets the test report states, devices, ICE servers and signals as the service would; settings in memory; an
// identity that loads or fails on request. Calls go into a journal ("signaling.start").
#include <boost/asio/awaitable.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

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
  boost::asio::awaitable<void> networkChanged() override {
    journal_("signaling.networkChanged");
    // A state the replaced connection reported just before it was closed, still on its way to the coordinator.
    if (const auto late = std::exchange(lateReportOfReplacedConnection, std::nullopt)) {
      report(*late);
      // The real client answers from its own executor: the caller resumes after what was already queued to it.
      co_await boost::asio::post(co_await boost::asio::this_coro::executor, boost::asio::use_awaitable);
    }
  }
  boost::asio::awaitable<void> sendSignal(std::string to, std::string sessionID, std::string kind,
                                          Bytes data) override {
    journal_("signaling.send " + kind + " " + sessionID);
    if (failSends) throw SignalingError(SignalingError::Kind::notConnectedToInternet);
    sent.push_back({std::move(to), std::move(sessionID), std::move(kind), std::move(data)});
    co_return;
  }

  // The service's side; each goes through the coordinator's callbacks, as the client's would.
  std::optional<SignalingClient::State::Kind> lateReportOfReplacedConnection;

  void report(SignalingClient::State::Kind kind) {
    if (!stopped) callbacks.onState(SignalingClient::State{kind, {}});
  }
  void reportDevices(const std::vector<SignalingDevice>& devices) { callbacks.onDevices(devices); }
  void reportICEServers(const std::vector<SignalingICEServer>& servers) { callbacks.onICEServers(servers); }
  void reportSignal(const SignalingPayload& signal) { callbacks.onSignal(signal); }

  const RemoteSignalingLogin login;
  const SignalingClient::Callbacks callbacks;
  std::vector<SentSignal> sent;
  bool failSends = false;
  bool stopped = false;

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

}  // namespace veltrano::testing
