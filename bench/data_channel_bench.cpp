// Data channels across two network namespaces (the host's side and the tablet's, as the tests make them): the
// host's WebRTCPeerSession beside the two peers tablets are built on and our own peer (bench/webrtc_tablet.cpp),
// in one run, in turn.
//  - goodput of a bulk transfer: host to headless Chromium against Chromium to Chromium, aiortc to aiortc and our
//    peer to our peer;
//  - round trip of a 1 KiB message: host and Chromium against Chromium and Chromium;
//  - round trip of one download chunk (49152 bytes framed) answered by a receipt-sized message, the floor of a
//    download that keeps one chunk outstanding: host and Chromium, host and our peer, our peer and our peer.
// (An idle peer's memory and wake-ups: veltrano_bench_idle_peers.)
// Needs root. Usage: veltrano_bench_data_channel [rounds] [MiB per transfer] [MiB per aiortc transfer]
#include <boost/asio/post.hpp>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "base/executors.hpp"
#include "base/thread_pools.hpp"
#include "platform/webrtc/peer_connection.hpp"
#include "remote/peer_signal_bodies.hpp"
#include "remote/webrtc_peer_session.hpp"
#include "support/network_namespaces.hpp"
#include "support/peer_process.hpp"
#include "support/peer_session_answers.hpp"
#include "support/recorded_values.hpp"
#include "load_average.hpp"

namespace veltrano {
namespace {

using bench::loadAverage;

using namespace std::chrono_literals;
using nlohmann::json;
using Clock = std::chrono::steady_clock;
using testing::NetworkNamespaces;
using testing::PeerProcess;

const std::string kChromium = "node " VELTRANO_TEST_PEERS "/chromium_tablet.mjs";
const std::string kAiortc = "/usr/bin/python3 " VELTRANO_TEST_PEERS "/aiortc_tablet.py";
const std::string kOurs = VELTRANO_WEBRTC_TABLET;
constexpr std::size_t kWireMessage = 60016;  // one full "VLC1" chunk, the host's largest data-channel message
constexpr std::size_t kDownloadChunk = 49152 + 56;  // a "VLF1" frame of a full piece
constexpr std::size_t kReceipt = 100;  // about a "fileStatus" receipt
constexpr int kChunkTrips = 200;
constexpr auto kDeadline = 600s;

[[noreturn]] void fail(const std::string& why) {
  std::fprintf(stderr, "data channel bench: %s\n", why.c_str());
  std::exit(1);
}

json expectMessage(PeerProcess& peer, const std::string& type, std::chrono::seconds timeout = kDeadline) {
  auto message = peer.take(type, timeout);
  if (!message) fail("no \"" + type + "\" from a peer");
  return *message;
}

// The host's session with a tablet (`command`: Chromium or ours) in the peer namespace, signals relayed in process.
class HostLink {
 public:
  HostLink(const NetworkNamespaces& namespaces, const std::string& command) : tablet_(namespaces.inPeer() + command) {
    tablet_.route("offer", [this](const json& m) { signal("offer", json{{"sdp", m["sdp"]}}); });
    tablet_.route("candidate", [this](const json& m) {
      signal("candidate", json{{"sdp", m["candidate"]}, {"sdpMLineIndex", m.value("sdpMLineIndex", 0)}});
    });
    session_ = WebRTCPeerSession::create({}, false, {webrtc::createPeerConnection});
    auto& callbacks = session_->callbacks();
    callbacks.onLocalSignal = [this](const std::string& kind, const Bytes& body) {
      std::lock_guard lock(mutex_);
      if (kind == "candidate") {
        const auto candidate = decodeIceCandidateBody(body);
        json line{{"type", "candidate"}, {"candidate", candidate->sdp}, {"sdpMLineIndex", candidate->sdpMLineIndex},
                  {"sdpMid", candidate->sdpMid.value_or("0")}};
        if (!answered_) return held_.push_back(std::move(line));
        return tablet_.send(line);
      }
      tablet_.send({{"type", kind}, {"sdp", *decodeSessionDescriptionBody(body)}});
      answered_ = true;
      for (const json& line : std::exchange(held_, {})) tablet_.send(line);
    };
    callbacks.onChannelOpened = opened_.recorder();
    callbacks.onData = [this](const std::string&, const Bytes& message) { replies_.add(message.size()); };
    if (!testing::startAndWait(*session_)) fail("no peer session");
    tablet_.send({{"type", "start"}, {"channels", {"veltrano.file"}}, {"vlc1", true}});
    if (!opened_.waitForCount(1, 30s)) fail("the host's channel did not open");
  }
  ~HostLink() { session_->close(); }

  // Sends `bytes` in messages of `size` as the file sender does (a refused message waits for the buffer to drain)
  // and returns the seconds until the tablet had them all.
  double transfer(std::size_t bytes, std::size_t size) {
    const Bytes message(size, 0x5A);
    const std::size_t messages = bytes / size;
    tablet_.send({{"type", "expect"}, {"bytes", messages * (size + 16 * ((size + 59999) / 60000))}});
    const auto start = Clock::now();
    for (std::size_t sent = 0; sent < messages;) {
      if (testing::sendAndWait(*session_, "veltrano.file", message)) {
        ++sent;
      } else {
        std::this_thread::sleep_for(200us);
      }
    }
    expectMessage(tablet_, "received");
    return std::chrono::duration<double>(Clock::now() - start).count();
  }

  // From now on the tablet answers each message with `size` bytes instead of echoing it.
  void answerWithReceipts(std::size_t size) { tablet_.send({{"type", "receipts"}, {"size", size}}); }

  // Round trips of `size`-byte messages, one after the other, in milliseconds.
  std::vector<double> pings(std::size_t size, int count) {
    std::vector<double> rtts;
    const Bytes message(size, 0x33);
    for (int i = 0; i < count; ++i) {
      const auto before = replies_.size();
      const auto start = Clock::now();
      if (!testing::sendAndWait(*session_, "veltrano.file", message)) fail("a ping was refused");
      if (!replies_.waitForCount(before + 1, 10s)) fail("no echo");
      rtts.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
    }
    return rtts;
  }

 private:
  void signal(const std::string& kind, const json& body) {
    const std::string text = body.dump();
    session_->handleRemoteSignal(kind, Bytes(text.begin(), text.end()));
  }

  PeerProcess tablet_;
  std::shared_ptr<WebRTCPeerSession> session_;
  std::mutex mutex_;
  bool answered_ = false;
  std::vector<json> held_;
  testing::RecordedValues<std::string> opened_;
  testing::RecordedValues<std::size_t> replies_;
};

// Two peers of the same kind, the offerer in the peer namespace and the answerer on the host's side.
class PeerPair {
 public:
  PeerPair(const NetworkNamespaces& namespaces, const std::string& script)
      : offerer_(namespaces.inPeer() + script), answerer_(script) {
    offerer_.route("offer", [this](const json& m) { answerer_.send(m); });
    answerer_.route("answer", [this](const json& m) { offerer_.send(m); });
    offerer_.route("candidate", [this](const json& m) { answerer_.send(m); });
    answerer_.route("candidate", [this](const json& m) { offerer_.send(m); });
    answerer_.send({{"type", "start"}, {"channels", json::array()}, {"answerer", true}});
    offerer_.send({{"type", "start"}, {"channels", {"bulk"}}});
    expectMessage(offerer_, "open", 60s);
    expectMessage(answerer_, "open", 60s);
  }

  double transfer(std::size_t bytes, std::size_t size) {
    const std::size_t total = bytes / size * size;
    answerer_.send({{"type", "expect"}, {"bytes", total}});
    const auto start = Clock::now();
    offerer_.send({{"type", "blast"}, {"label", "bulk"}, {"bytes", total}, {"size", size}});
    expectMessage(answerer_, "received");
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    expectMessage(offerer_, "blasted");
    return seconds;
  }

  void answerWithReceipts(std::size_t size) { answerer_.send({{"type", "receipts"}, {"size", size}}); }

  std::vector<double> pings(std::size_t size, int count) {
    offerer_.send({{"type", "ping"}, {"label", "bulk"}, {"size", size}, {"count", count}});
    return expectMessage(offerer_, "pings")["rtts"].get<std::vector<double>>();
  }

 private:
  PeerProcess offerer_;
  PeerProcess answerer_;
};

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values.empty() ? 0 : values[values.size() / 2];
}

int run(int rounds, std::size_t mib, std::size_t aiortcMib) {
  if (auto reason = NetworkNamespaces::unavailable()) fail(*reason);
  ThreadPools pools;
  sharedIo();
  NetworkNamespaces namespaces;
  const auto networkThread = webrtc::startNetworkThread();
  std::printf("load %s at the start\n", loadAverage().c_str());

  HostLink host(namespaces, kChromium);
  HostLink hostToOurs(namespaces, kOurs);
  PeerPair chromium(namespaces, kChromium);
  PeerPair aiortc(namespaces, kAiortc);
  PeerPair ourPair(namespaces, kOurs);
  // Separate peers answer chunks with receipts, so that the echoes of the 1 KiB round trips stay as they were.
  hostToOurs.answerWithReceipts(kReceipt);
  HostLink chunkHost(namespaces, kChromium);
  chunkHost.answerWithReceipts(kReceipt);
  PeerPair chunkOurs(namespaces, kOurs);
  chunkOurs.answerWithReceipts(kReceipt);
  const std::size_t bytes = mib << 20;
  const std::size_t aiortcBytes = aiortcMib << 20;
  std::vector<double> ours, theirs, aiortcs, peerOurs, ourRtt, theirRtt, chunkChromium, chunkHostOurs, chunkOurOur;
  for (int round = 0; round < rounds; ++round) {
    ours.push_back(static_cast<double>(mib) / host.transfer(bytes, 5 * 60000));
    theirs.push_back(static_cast<double>(mib) / chromium.transfer(bytes, kWireMessage));
    aiortcs.push_back(static_cast<double>(aiortcMib) / aiortc.transfer(aiortcBytes, kWireMessage));
    peerOurs.push_back(static_cast<double>(mib) / ourPair.transfer(bytes, kWireMessage));
    ourRtt.push_back(median(host.pings(1024, 200)));
    theirRtt.push_back(median(chromium.pings(1024, 200)));
    chunkChromium.push_back(median(chunkHost.pings(kDownloadChunk, kChunkTrips)));
    chunkHostOurs.push_back(median(hostToOurs.pings(kDownloadChunk, kChunkTrips)));
    chunkOurOur.push_back(median(chunkOurs.pings(kDownloadChunk, kChunkTrips)));
    std::printf("round %d (load %s): MiB/s host->Chromium %.1f, Chromium->Chromium %.1f, aiortc->aiortc %.1f, "
                "ours->ours %.1f; 1 KiB round trip p50 ms host<->Chromium %.3f, Chromium<->Chromium %.3f; "
                "chunk + receipt p50 ms host<->Chromium %.3f, host<->ours %.3f, ours<->ours %.3f\n",
                round + 1, loadAverage().c_str(), ours.back(), theirs.back(), aiortcs.back(), peerOurs.back(),
                ourRtt.back(), theirRtt.back(), chunkChromium.back(), chunkHostOurs.back(), chunkOurOur.back());
    std::fflush(stdout);
  }
  std::printf("medians: goodput %.1f MiB/s, %.2fx Chromium->Chromium (%.1f), %.2fx aiortc->aiortc (%.1f), "
              "ours->ours %.1f; round trip p50 %.3f ms, %.2fx Chromium<->Chromium (%.3f)\n",
              median(ours), median(ours) / median(theirs), median(theirs), median(ours) / median(aiortcs),
              median(aiortcs), median(peerOurs), median(ourRtt), median(ourRtt) / median(theirRtt), median(theirRtt));
  // One chunk per round trip: the download rate a trip allows.
  const auto floorRate = [](double ms) { return 49152.0 / (1 << 20) / (ms / 1000); };
  std::printf("chunk + receipt p50: host<->Chromium %.3f ms (at most %.1f MiB/s), host<->ours %.3f ms (%.1f), "
              "ours<->ours %.3f ms (%.1f)\n",
              median(chunkChromium), floorRate(median(chunkChromium)), median(chunkHostOurs),
              floorRate(median(chunkHostOurs)), median(chunkOurOur), floorRate(median(chunkOurOur)));
  return 0;
}

}  // namespace
}  // namespace veltrano

int main(int argc, char** argv) {
  const int rounds = argc > 1 ? std::atoi(argv[1]) : 3;
  const std::size_t mib = argc > 2 ? std::strtoul(argv[2], nullptr, 10) : 256;
  const std::size_t aiortcMib = argc > 3 ? std::strtoul(argv[3], nullptr, 10) : 32;
  return veltrano::run(rounds, mib, aiortcMib);
}
