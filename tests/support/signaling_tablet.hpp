#pragma once
// A tablet of the account for tests of the whole host: its own signaling client (an "ipad" device) on a local
// signaling service and, once it offers, a peer process (aiortc or Chromium, tests/peers) whose signals it relays
// both ways, so that the host's own offers (ICE restarts) reach the peer and its answers come back.
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/use_future.hpp>

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "base/executors.hpp"
#include "base/json.hpp"
#include "platform/crypto/signing_key.hpp"
#include "remote/signaling_client.hpp"
#include "support/peer_process.hpp"
#include "support/recorded_values.hpp"
#include "support/signaling_test_service.hpp"
#include "transport/veltrano_identity.hpp"

namespace veltrano::testing {

class SignalingTablet {
 public:
  inline static const std::vector<std::string> channels = {"veltrano.control", "veltrano.input", "veltrano.file"};

  SignalingTablet(const SignalingTestService& service, const platform::SigningKey& key, std::string deviceID) {
    SignalingClient::Callbacks callbacks;
    callbacks.onSignal = [this](const SignalingPayload& signal) { relayToPeer(signal); };
    callbacks.onState = [this](const SignalingClient::State& state) {
      if (state.kind == SignalingClient::State::Kind::connected) connected.add(true);
    };
    client = SignalingClient::create(service.endpoint(), VeltranoIdentity(key), deviceID, "Tablet " + deviceID,
                                     "ipad", std::move(callbacks), systemClock(), service.trustingOptions());
    run(client->start());
  }
  ~SignalingTablet() {
    vanish();
    run(client->stop());
  }

  // Starts a peer that offers for `sessionID` to `host`; the one before goes away. A peer that `reports` hands
  // the host's messages to the test (tests/peers/chromium_tablet.mjs) instead of dropping them.
  void offer(const std::string& command, const std::string& host, const std::string& sessionID,
             bool reports = false) {
    aim(host, sessionID);
    vanish();
    auto peer = std::make_shared<PeerProcess>(command);
    peer->route("offer", [this](const nlohmann::json& m) { send("offer", {{"sdp", m["sdp"]}, {"type", "offer"}}); });
    peer->route("answer", [this](const nlohmann::json& m) { send("answer", {{"sdp", m["sdp"]}, {"type", "answer"}}); });
    peer->route("candidate", [this](const nlohmann::json& m) {
      send("candidate", {{"sdp", m["candidate"]}, {"sdpMLineIndex", m["sdpMLineIndex"]}, {"sdpMid", m["sdpMid"]}});
    });
    peer->route("state", [this](const nlohmann::json& m) { states.add(m["state"].get<std::string>()); });
    peer->route("open", [this](const nlohmann::json& m) { opened.add(m["label"].get<std::string>()); });
    peer->route("close", [this](const nlohmann::json& m) { closed.add(m["label"].get<std::string>()); });
    peer->route("video", [this](const nlohmann::json& m) { video.add(m); });
    {
      std::lock_guard lock(mutex_);
      peer_ = peer;
    }
    // Not echoing: the host answers what comes on the control channel, and would answer its own hello for ever.
    peer->send({{"type", "start"}, {"channels", channels}, {"echo", false}, {"report", reports},
                {"video", reports && watchesVideo}, {"record", reports && recordsVideo}});
  }
  std::shared_ptr<PeerProcess> peer() {
    std::lock_guard lock(mutex_);
    return peer_;
  }
  // Where the next signals go.
  void aim(const std::string& host, const std::string& sessionID) {
    std::lock_guard lock(mutex_);
    host_ = host;
    session_ = sessionID;
  }
  // One signal, as the tablet's signaling sends it.
  void send(const std::string& kind, const nlohmann::json& body, std::optional<std::string> session = std::nullopt) {
    std::string to, sessionID;
    {
      std::lock_guard lock(mutex_);
      to = host_;
      sessionID = session.value_or(session_);
    }
    const std::string dumped = body.dump();
    run(client->sendSignal(to, sessionID, kind, Bytes(dumped.begin(), dumped.end())));
  }
  // The peer process goes away; its signaling stays.
  void vanish() {
    std::shared_ptr<PeerProcess> previous;
    {
      std::lock_guard lock(mutex_);
      previous = std::move(peer_);
    }
    previous.reset();  // waits for the process outside the lock
  }

  // Set before `offer`: a peer that reports also reports each video envelope it receives, into `video`.
  bool watchesVideo = false;
  // Set before `offer`: a reporting Chromium tablet keeps each video envelope with its arrival until asked.
  bool recordsVideo = false;
  std::shared_ptr<SignalingClient> client;
  RecordedValues<bool> connected;
  RecordedValues<std::string> states;
  RecordedValues<std::string> opened;
  RecordedValues<std::string> closed;
  RecordedValues<std::string> received;  // kinds of the host's signals
  RecordedValues<nlohmann::json> video;  // {"kind", "keyframe"} of each video envelope, when watching

 private:
  template <class T>
  static T run(boost::asio::awaitable<T> operation) {
    return boost::asio::co_spawn(sharedIo().executor(), std::move(operation), boost::asio::use_future).get();
  }
  void relayToPeer(const SignalingPayload& signal) {
    received.add(signal.kind);
    std::shared_ptr<PeerProcess> peer;
    {
      std::lock_guard lock(mutex_);
      peer = peer_;
    }
    if (!peer) return;
    const auto body = nlohmann::json::parse(std::string(signal.data.begin(), signal.data.end()), nullptr, false);
    if (body.is_discarded()) return;
    if (signal.kind == "answer" || signal.kind == "offer") {
      peer->send({{"type", signal.kind}, {"sdp", body["sdp"]}});
    } else if (signal.kind == "candidate") {
      peer->send({{"type", "candidate"}, {"candidate", body["sdp"]}, {"sdpMLineIndex", body["sdpMLineIndex"]},
                  {"sdpMid", body.value("sdpMid", std::string("0"))}});
    }
  }

  std::mutex mutex_;
  std::shared_ptr<PeerProcess> peer_;
  std::string host_;
  std::string session_;
};

}  // namespace veltrano::testing
