// Time from a tablet's offer to the host's answer and to "connected", across two network namespaces, signals
// through the local wss signaling service as a tablet and the host send them: the tablet is aiortc (in the peer
// namespace, offering the tablet's three channels); the answerer is, in turn, the host's side as the coordinator
// drives it (a signaling client and a WebRTCPeerSession made when the offer comes), once with no ICE servers and once
// with a STUN server given by address, and an aiortc answerer that was started before the offer. The times are taken
// from the tablet's offer leaving to the answer reaching its signaling, to the aiortc tablet reporting "connected",
// and to the answerer reporting it.
// Needs root. Usage: veltrano_bench_offer_answer [rounds]
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/use_future.hpp>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <thread>
#include <cstdio>
#include <fstream>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "base/executors.hpp"
#include "base/serial_thread.hpp"
#include "base/thread_pools.hpp"
#include "platform/crypto/signing_key.hpp"
#include "platform/webrtc/peer_connection.hpp"
#include "remote/peer_signal_bodies.hpp"
#include "remote/signaling_client.hpp"
#include "remote/webrtc_peer_session.hpp"
#include "support/network_namespaces.hpp"
#include "support/peer_process.hpp"
#include "support/signaling_test_service.hpp"
#include "support/tablet_signaling.hpp"
#include "transport/veltrano_identity.hpp"
#include "load_average.hpp"

namespace veltrano {
namespace {

using bench::loadAverage;

using namespace std::chrono_literals;
using nlohmann::json;
using Clock = std::chrono::steady_clock;
using testing::NetworkNamespaces;
using testing::PeerProcess;

const std::string kAiortc = "/usr/bin/python3 " VELTRANO_TEST_PEERS "/aiortc_tablet.py";
const std::vector<std::string> kTabletChannels = {"veltrano.control", "veltrano.input", "veltrano.file"};
constexpr const char* kHostDevice = "mac-1";
constexpr const char* kTabletDevice = "ipad-1";
constexpr auto kDeadline = 30s;

// Who answers: the host's side with no ICE servers (it then resolves its default STUN server's name, as it does when
// the service lists none), the host's side given a STUN server by address (no name to resolve; nothing answers
// there), or an aiortc answerer.
enum class Answerer { host, hostStunByAddress, aiortc };

[[noreturn]] void fail(const std::string& why) {
  std::fprintf(stderr, "offer/answer bench: %s\n", why.c_str());
  std::exit(1);
}

template <class T>
T runBlocking(boost::asio::awaitable<T> operation) {
  auto future = boost::asio::co_spawn(sharedIo().executor(), std::move(operation), boost::asio::use_future);
  if (future.wait_for(kDeadline) != std::future_status::ready) fail("a signaling operation timed out");
  return future.get();
}

Bytes body(const json& value) {
  const std::string text = value.dump();
  return Bytes(text.begin(), text.end());
}

// One timed round's marks, set from the signaling and peer threads.
struct Marks {
  std::mutex mutex;
  std::condition_variable changed;
  std::optional<Clock::time_point> offer, answer, connected, answererConnected;

  void set(std::optional<Clock::time_point>& mark) {
    std::lock_guard lock(mutex);
    if (!mark) mark = Clock::now();
    changed.notify_all();
  }
  bool waitForConnected() {
    std::unique_lock lock(mutex);
    return changed.wait_for(lock, kDeadline, [&] { return offer && answer && connected && answererConnected; });
  }
};

class Bench {
 public:
  explicit Bench(const testing::SignalingTestService& service) : service_(service) {
    hostClient_ = connectedClient(kHostDevice, "mac", [this](const SignalingPayload& payload) {
      boost::asio::post(host_.executor(), [this, payload] { onHostSignal(payload); });
    });
    tabletClient_ = connectedClient(kTabletDevice, "ipad", [this](const SignalingPayload& payload) {
      std::lock_guard lock(tabletMutex_);
      if (signaling_) signaling_->deliver(payload);
    });
  }
  ~Bench() {
    for (auto* client : {&hostClient_, &tabletClient_}) runBlocking((*client)->stop());
  }

  // One offer from a fresh aiortc tablet; the answer comes from the host's session or, with `peerAnswers`, from an
  // aiortc answerer already running. Returns offer->answer, offer->connected at the tablet and at the answerer, in
  // milliseconds.
  std::array<double, 3> round(const NetworkNamespaces& namespaces, Answerer answerer) {
    const bool peerAnswers = answerer == Answerer::aiortc;
    Marks marks;
    {
      std::lock_guard lock(tabletMutex_);
      sessionID_ = "BE0C4A2E-0000-4000-8000-" + std::to_string(100000000000 + ++rounds_);
      marks_ = &marks;
    }
    if (peerAnswers) {
      onHost([this] {
        answerer_.emplace(kAiortc);
        answerer_->route("answer", [this](const json& m) { hostSend("answer", body({{"sdp", m["sdp"]}})); });
        answerer_->route("state", [this](const json& m) {
          if (m["state"] == "connected") markAnswererConnected();
        });
        answerer_->send({{"type", "start"}, {"channels", json::array()}, {"answerer", true}});
        // An empty "expect" is answered at once: the answerer has started and reads its input.
        answerer_->send({{"type", "expect"}, {"bytes", 0}});
        if (!answerer_->take("received", kDeadline)) fail("the aiortc answerer did not start");
      });
    }
    peerAnswers_ = peerAnswers;
    stunByAddress_ = answerer == Answerer::hostStunByAddress;
    {
      std::lock_guard lock(tabletMutex_);
      tablet_.emplace(namespaces.inPeer() + kAiortc);
      signaling_.emplace(*tablet_, tabletClient_, kHostDevice, sessionID_,
                         testing::TabletSignaling::Hooks{.offerSent = [&marks] { marks.set(marks.offer); },
                                                         .answerArrived = [&marks] { marks.set(marks.answer); },
                                                         .failed = [](const std::string& what) { fail(what); }});
    }
    tablet_->route("state", [&marks](const json& m) {
      if (m["state"] == "connected") marks.set(marks.connected);
    });
    tablet_->send({{"type", "start"}, {"channels", kTabletChannels}, {"echo", false}});
    if (!marks.waitForConnected()) fail(std::string("no connection with the ") + (peerAnswers ? "aiortc" : "host"));
    const auto ms = [&](Clock::time_point to) {
      return std::chrono::duration<double, std::milli>(to - *marks.offer).count();
    };
    const std::array<double, 3> result{ms(*marks.answer), ms(*marks.connected), ms(*marks.answererConnected)};
    endRound();
    return result;
  }

 private:
  std::shared_ptr<SignalingClient> connectedClient(const std::string& device, const std::string& role,
                                                   std::function<void(const SignalingPayload&)> onSignal) {
    auto connected = std::make_shared<std::atomic<bool>>(false);
    auto client = testing::startSignalingClient(service_.endpoint(), identity_, device, role, std::move(onSignal),
                                                service_.trustingOptions(), connected);
    const auto until = Clock::now() + kDeadline;
    while (!connected->load()) {
      if (Clock::now() > until) fail(device + " did not connect to the signaling service");
      std::this_thread::sleep_for(10ms);
    }
    return client;
  }

  void endRound() {
    {
      std::lock_guard lock(tabletMutex_);
      signaling_.reset();
      tablet_.reset();
    }
    onHost([this] {
      answerer_.reset();
      if (session_) session_->close();
      session_.reset();
    });
  }
  void onHost(std::function<void()> step) {
    boost::asio::post(host_.executor(), boost::asio::use_future(std::move(step))).get();
  }

  void markAnswererConnected() {
    std::lock_guard lock(tabletMutex_);
    marks_->set(marks_->answererConnected);
  }
  std::string sessionID() {
    std::lock_guard lock(tabletMutex_);
    return sessionID_;
  }
  void hostSend(const std::string& kind, Bytes data) {
    runBlocking(hostClient_->sendSignal(kTabletDevice, sessionID(), kind, std::move(data)));
  }

  // The coordinator's part, on the host's own thread: an offer for an unknown session makes the session.
  void onHostSignal(const SignalingPayload& payload) {
    if (payload.sessionID != sessionID()) return;
    if (peerAnswers_) {
      if (payload.kind != "offer" || !answerer_) return;
      answerer_->send({{"type", "offer"}, {"sdp", *decodeSessionDescriptionBody(payload.data)}});
      return;
    }
    if (!session_) {
      if (payload.kind != "offer") return;
      std::vector<SignalingICEServer> servers;
      if (stunByAddress_) {
        servers.push_back({{std::string("stun:") + NetworkNamespaces::kPeerAddress + ":3478"}, {}, {}});
      }
      session_ = WebRTCPeerSession::create(servers, false, {webrtc::createPeerConnection});
      session_->callbacks().onState = [this](WebRTCPeerCallbacks::State state) {
        if (state == WebRTCPeerCallbacks::State::connected) markAnswererConnected();
      };
      session_->callbacks().onLocalSignal = [this](const std::string& kind, const Bytes& data) {
        boost::asio::post(host_.executor(), [this, kind, data] {
          if (session_) hostSend(kind, data);
        });
      };
      session_->start([](bool made) {
        if (!made) fail("no peer session");
      });
    }
    session_->handleRemoteSignal(payload.kind, payload.data);
  }

  const testing::SignalingTestService& service_;
  VeltranoIdentity identity_{platform::SigningKey::generate()};
  SerialThread host_{"bench host"};
  std::shared_ptr<SignalingClient> hostClient_;
  std::shared_ptr<SignalingClient> tabletClient_;
  int rounds_ = 0;
  std::atomic<bool> peerAnswers_ = false;
  std::atomic<bool> stunByAddress_ = false;
  std::optional<PeerProcess> answerer_;          // on host_
  std::shared_ptr<WebRTCPeerSession> session_;  // on host_
  std::mutex tabletMutex_;  // guards what follows; the tablet's client reports on its strand
  std::string sessionID_;
  Marks* marks_ = nullptr;
  std::optional<PeerProcess> tablet_;
  std::optional<testing::TabletSignaling> signaling_;
};

double percentile(std::vector<double> values, double p) {
  std::sort(values.begin(), values.end());
  const auto index = static_cast<std::size_t>(p * static_cast<double>(values.size() - 1) + 0.5);
  return values[std::min(index, values.size() - 1)];
}

int run(int rounds) {
  if (auto reason = NetworkNamespaces::unavailable()) fail(*reason);
  // The service and the I/O threads stay in this namespace; the network thread starts on the host's side.
  ThreadPools pools;
  sharedIo();
  testing::SignalingTestService service;
  NetworkNamespaces namespaces;
  const auto networkThread = webrtc::startNetworkThread();
  std::printf("load %s at the start\n", loadAverage().c_str());
  Bench bench(service);
  const std::array<Answerer, 3> answerers{Answerer::host, Answerer::hostStunByAddress, Answerer::aiortc};
  for (const auto answerer : answerers) bench.round(namespaces, answerer);  // warm-up, not counted
  std::array<std::array<std::vector<double>, 3>, 3> times;  // [answerer][answer, connected, answerer's view]
  for (int i = 0; i < rounds; ++i) {
    // Rotates which goes first, so that none always follows the same one's teardown.
    for (std::size_t k = 0; k < answerers.size(); ++k) {
      const std::size_t which = (k + static_cast<std::size_t>(i)) % answerers.size();
      const auto measured = bench.round(namespaces, answerers[which]);
      for (std::size_t m = 0; m < measured.size(); ++m) times[which][m].push_back(measured[m]);
    }
    if ((i + 1) % 10 == 0) std::printf("%d rounds, load %s\n", i + 1, loadAverage().c_str());
  }
  std::printf("%d rounds each, load %s at the end; ms, p50 / p99\n", rounds, loadAverage().c_str());
  const char* names[] = {"offer->answer", "offer->connected", "  (answerer's view)"};
  for (std::size_t m = 0; m < 3; ++m) {
    const auto& ours = times[0][m];
    const auto& byAddress = times[1][m];
    const auto& peer = times[2][m];
    std::printf("%-20s host %7.1f / %7.1f | host, STUN by address %7.1f / %7.1f | aiortc %7.1f / %7.1f | "
                "ratio to aiortc p50 %.2f, %.2f; p99 %.2f, %.2f\n",
                names[m], percentile(ours, 0.5), percentile(ours, 0.99), percentile(byAddress, 0.5),
                percentile(byAddress, 0.99), percentile(peer, 0.5), percentile(peer, 0.99),
                percentile(ours, 0.5) / percentile(peer, 0.5), percentile(byAddress, 0.5) / percentile(peer, 0.5),
                percentile(ours, 0.99) / percentile(peer, 0.99), percentile(byAddress, 0.99) / percentile(peer, 0.99));
  }
  return 0;
}

}  // namespace
}  // namespace veltrano

int main(int argc, char** argv) { return veltrano::run(argc > 1 ? std::max(1, std::atoi(argv[1])) : 40); }
