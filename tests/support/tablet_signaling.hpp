#pragma once
// A tablet program's (tests/peers) own signaling, played by a signaling client of the account in this process: what
// the program prints goes out as peer signals of one session to the host's device, and the host's signals reach the
// program in the order they came. Candidates wait while the tablet has no description of this generation to add
// them to. Used by tests and benchmarks that play the host's side themselves.
#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "remote/peer_signal_bodies.hpp"
#include "remote/signaling_client.hpp"
#include "support/peer_process.hpp"
#include "support/run_blocking.hpp"

namespace veltrano::testing {

// A started signaling client of the account as `device` that hands its peer signals to `onSignal`; `connected`
// turns true once the service has taken it in.
inline std::shared_ptr<SignalingClient> startSignalingClient(const platform::WssEndpoint& endpoint,
                                                             const VeltranoIdentity& identity,
                                                             const std::string& device, const std::string& role,
                                                             std::function<void(const SignalingPayload&)> onSignal,
                                                             const platform::WebSocketOptions& webSocket,
                                                             std::shared_ptr<std::atomic<bool>> connected) {
  SignalingClient::Callbacks callbacks{
      [connected](const SignalingClient::State& s) {
        if (s.kind == SignalingClient::State::Kind::connected) *connected = true;
      },
      [](const std::vector<SignalingDevice>&) {}, std::move(onSignal), [](const std::vector<SignalingICEServer>&) {}};
  auto client = SignalingClient::create(endpoint, identity, device, device, role, std::move(callbacks), systemClock(),
                                        webSocket);
  runBlocking(client->start());
  return client;
}

class TabletSignaling {
 public:
  struct Hooks {
    std::function<void()> offerSent;       // just before the tablet's offer leaves
    std::function<void()> answerArrived;   // when the host's answer reaches the tablet's signaling
    std::function<void(const std::string&)> failed;  // a signal that could not be sent or read
  };

  TabletSignaling(PeerProcess& tablet, std::shared_ptr<SignalingClient>& client, std::string hostDevice,
                  std::string sessionID, Hooks hooks = {})
      : tablet_(tablet), client_(client), hostDevice_(std::move(hostDevice)), sessionID_(std::move(sessionID)),
        hooks_(std::move(hooks)) {
    tablet_.route("offer", [this](const nlohmann::json& m) {
      if (hooks_.offerSent) hooks_.offerSent();
      send("offer", body({{"sdp", m["sdp"]}}), true);
    });
    tablet_.route("answer", [this](const nlohmann::json& m) { send("answer", body({{"sdp", m["sdp"]}}), false); });
    tablet_.route("candidate", [this](const nlohmann::json& m) {
      nlohmann::json candidate{{"sdp", m["candidate"]}, {"sdpMLineIndex", m.value("sdpMLineIndex", 0)}};
      if (m.contains("sdpMid") && m["sdpMid"].is_string()) candidate["sdpMid"] = m["sdpMid"];
      send("candidate", body(candidate), false);
    });
  }

  const std::string& sessionID() const { return sessionID_; }

  // A signal from the host, on the client's strand.
  void deliver(const SignalingPayload& payload) {
    std::lock_guard lock(mutex_);
    if (payload.sessionID != sessionID_) return;
    if (payload.kind == "candidate") {
      const auto candidate = decodeIceCandidateBody(payload.data);
      if (!candidate) return failed("an unreadable candidate from the host");
      nlohmann::json line{{"type", "candidate"}, {"candidate", candidate->sdp},
                          {"sdpMLineIndex", candidate->sdpMLineIndex}, {"sdpMid", candidate->sdpMid.value_or("0")}};
      if (awaitingDescription_) return held_.push_back(std::move(line));
      return tablet_.send(line);
    }
    const auto sdp = decodeSessionDescriptionBody(payload.data);
    if (!sdp) return failed("an unreadable " + payload.kind + " from the host");
    if (payload.kind == "answer" && hooks_.answerArrived) hooks_.answerArrived();
    tablet_.send({{"type", payload.kind}, {"sdp", *sdp}});
    awaitingDescription_ = false;
    for (const nlohmann::json& line : std::exchange(held_, {})) tablet_.send(line);
  }

  // A new description from the host is on its way (the tablet offered, or asked the host to).
  void expectDescription() {
    std::lock_guard lock(mutex_);
    awaitingDescription_ = true;
  }

  void send(const std::string& kind, Bytes data, bool awaitsAnswer) {
    if (awaitsAnswer) expectDescription();
    try {
      runBlocking(client_->sendSignal(hostDevice_, sessionID_, kind, std::move(data)));
    } catch (const std::exception& error) {
      failed("the tablet's " + kind + " was not sent: " + error.what());
    }
  }

 private:
  static Bytes body(const nlohmann::json& value) {
    const std::string text = value.dump();
    return Bytes(text.begin(), text.end());
  }
  void failed(const std::string& what) {
    if (hooks_.failed) hooks_.failed(what);
  }

  PeerProcess& tablet_;
  std::shared_ptr<SignalingClient>& client_;
  const std::string hostDevice_;
  const std::string sessionID_;
  const Hooks hooks_;
  std::mutex mutex_;
  bool awaitingDescription_ = true;
  std::vector<nlohmann::json> held_;
};

}  // namespace veltrano::testing
