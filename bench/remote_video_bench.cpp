// Draw-to-tablet latency and the host's CPU per streamed frame through the whole host (real services, this process)
// on a private 1920x1080 Xvfb streamed at 60 fps: remote tablets over the data channels (signals through the local
// wss signaling service) in turn with a local client on the display's video port (TCP, the real handshakes), in one
// run. The remote tablets: aiortc (ICE on loopback; it decodes with PyAV as the frames come) and headless Chromium
// (in a network namespace of its own across a veth link; it keeps each whole envelope with its arrival, and ffmpeg
// decodes them afterwards, as it does the local stream). A rectangle moves across the top of the screen all the
// time, so that every grab has something new; marks of changing colours are painted at the centre at random
// moments, and a mark's latency runs from the X server having drawn it to the first frame at the tablet that shows
// it, timed when the whole frame is in. CPU is this process's (the host's) user + system time over each phase, per
// frame the tablet got.
// Needs the host's fixed ports, python3 with aiortc and PyAV, ffmpeg, the test environment (scripts/test-env), and
// for Chromium root (network namespaces), node with playwright-core and chromium.
// Usage: veltrano_bench_remote_video [rounds] [draws per phase] [local-first] [aiortc | chromium | both]
// [asks-keyframes] (local-first: the local path goes first in round 1; the tablets default to both; asks-keyframes:
// the Chromium tablet asks for a keyframe when a message was lost, as a tablet whose decoder lost a reference does).
#include <sys/resource.h>
#include <xcb/xcb.h>

#include <boost/asio/awaitable.hpp>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "base/encoding.hpp"
#include "base/executors.hpp"
#include "base/thread_pools.hpp"
#include "core/metrics_store.hpp"
#include "h264_probe.hpp"
#include "host/host_view_model.hpp"
#include "host/real_host_services.hpp"
#include "load_average.hpp"
#include "media/media_envelope.hpp"
#include "media_bench_screen.hpp"
#include "percentile.hpp"
#include "platform/crypto/signing_key.hpp"
#include "platform/webrtc/peer_connection.hpp"
#include "support/host_fixed_ports.hpp"
#include "support/local_test_client.hpp"
#include "support/network_namespaces.hpp"
#include "support/peer_process.hpp"
#include "support/run_blocking.hpp"
#include "support/signaling_tablet.hpp"
#include "support/signaling_test_service.hpp"
#include "support/temporary_folder.hpp"
#include "transport/veltrano_identity.hpp"

namespace veltrano {
namespace {

using namespace std::chrono_literals;
using bench::BenchScreen;
using bench::loadAverage;
using bench::percentile;
using nlohmann::json;
using Clock = std::chrono::steady_clock;

constexpr int kFps = 60;
constexpr int kMarkSize = 200;
constexpr int kMarkX = BenchScreen::kWidth / 2 - kMarkSize / 2;
constexpr int kMarkY = BenchScreen::kHeight / 2 - kMarkSize / 2;
constexpr int kProbeSize = 16;  // the local stream's probe at the centre; the aiortc tablet reads the centre pixel
constexpr int kAnimationLowestTop = kMarkY - 160;  // the moving rectangle never reaches the mark
constexpr std::array<std::uint32_t, 4> kMarkColours{0xE02020, 0x20C040, 0x2040E0, 0xF0F0F0};
constexpr auto kMatchWindow = 500ms;
const std::string kChromium = "node " VELTRANO_TEST_PEERS "/chromium_tablet.mjs";

enum class Path { local, aiortc, chromium };
constexpr std::array<const char*, 3> kPathNames{"local TCP", "aiortc", "Chromium"};

// Unwinds, so that the tablets, the host and the namespaces go away with the bench.
[[noreturn]] void fail(const std::string& why) { throw std::runtime_error(why); }

double milliseconds(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

double cpuSeconds() {
  rusage usage{};
  ::getrusage(RUSAGE_SELF, &usage);
  const auto seconds = [](const timeval& t) { return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6; };
  return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

struct Draw {
  Clock::time_point at;
  std::uint32_t colour;
};

struct SeenFrame {
  Clock::time_point at;
  std::uint32_t colour;
};

struct Phase {
  std::vector<double> latencies;
  int missed = 0;
  int frames = 0;      // frames the tablet got while the marks were painted
  int undecodable = 0;  // frames after the first keyframe that gave no picture
  long long hostDropped = 0;  // video frames the host's server dropped meanwhile
  long long droppedDatagrams = 0;  // at the remote tablet's sockets (and for aiortc the host's), for a full buffer
  double cpu = 0;      // the host's CPU seconds meanwhile
  double seconds = 0;  // wall time meanwhile
};

// Each draw's latency: to the first frame after it, within the window, that shows its colour.
void matchDraws(const std::vector<Draw>& draws, const std::vector<SeenFrame>& frames, std::vector<double>& latencies,
                int& missed) {
  std::size_t next = 0;
  for (const auto& draw : draws) {
    while (next < frames.size() && frames[next].at <= draw.at) ++next;
    std::size_t match = next;
    while (match < frames.size() && frames[match].at < draw.at + kMatchWindow &&
           !bench::nearColour(frames[match].colour, draw.colour)) {
      ++match;
    }
    if (match == frames.size() || frames[match].at >= draw.at + kMatchWindow) {
      ++missed;
      continue;
    }
    latencies.push_back(milliseconds(frames[match].at - draw.at));
  }
}

// Paints `count` marks in turn at random moments (30-50 ms apart: any phase against the grabs) on a thread of its
// own, while the caller's thread receives.
class MarkPainter {
 public:
  MarkPainter(BenchScreen& screen, int count, unsigned seed)
      : thread_([this, &screen, count, seed] {
          std::mt19937 random(seed);
          std::uniform_int_distribution<int> pause(30, 50);
          for (int i = 0; i < count; ++i) {
            const std::uint32_t colour = kMarkColours[static_cast<std::size_t>(i) % kMarkColours.size()];
            const auto drawn = screen.paint(kMarkX, kMarkY, kMarkSize, kMarkSize, colour);
            {
              std::lock_guard lock(mutex_);
              draws_.push_back({drawn, colour});
            }
            std::this_thread::sleep_until(drawn + std::chrono::milliseconds(pause(random)));
          }
          done_ = true;
        }) {}
  ~MarkPainter() {
    if (thread_.joinable()) thread_.join();
  }
  bool done() const { return done_; }
  std::vector<Draw> draws() {
    thread_.join();
    return draws_;
  }

 private:
  std::mutex mutex_;
  std::vector<Draw> draws_;
  std::atomic<bool> done_{false};
  std::thread thread_;
};

// The captured picture has the pointer drawn in; the X server starts it at the centre, over the mark.
void movePointerToCorner(const std::string& display) {
  xcb_connection_t* c = xcb_connect(display.c_str(), nullptr);
  if (xcb_connection_has_error(c) == 0) {
    const xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(c)).data;
    xcb_warp_pointer(c, XCB_NONE, screen->root, 0, 0, 0, 0, 8, BenchScreen::kHeight - 8);
    std::free(xcb_get_input_focus_reply(c, xcb_get_input_focus(c), nullptr));
  }
  xcb_disconnect(c);
}

// The frames of a received stream, decoded by ffmpeg from its configuration and first keyframe on, with the moment
// each came in. Frames before the first keyframe cannot be decoded and are left out, and so are those that show no
// picture (a lost frame leaves the ones after it without their reference until the next keyframe): `undecodable`.
std::vector<SeenFrame> decodeReceived(const Bytes& configuration, const std::vector<VideoFramePayload>& frames,
                                      const std::vector<Clock::time_point>& arrivals, int& undecodable) {
  const auto keyframe = std::ranges::find_if(frames, [](const VideoFramePayload& f) { return f.keyframe; });
  if (configuration.empty() || keyframe == frames.end()) {
    fail("no configuration and keyframe among " + std::to_string(frames.size()) + " frames" +
         (configuration.empty() ? " (no configuration)" : ""));
  }
  const auto first = static_cast<std::size_t>(keyframe - frames.begin());
  std::vector<std::uint8_t> stream;
  const auto sets = bench::parameterSetsInAnnexB(configuration);
  for (std::size_t i = first; i < frames.size(); ++i) {
    if (frames[i].keyframe) stream.insert(stream.end(), sets.begin(), sets.end());
    bench::appendAccessUnit(stream, frames[i].accessUnit);
  }
  const auto pictures = bench::probePictures(stream, kMarkX + kMarkSize / 2 - kProbeSize / 2,
                                             kMarkY + kMarkSize / 2 - kProbeSize / 2, kProbeSize);
  std::vector<SeenFrame> seen;
  for (const bench::ProbedPicture& picture : pictures) {
    if (first + picture.frame >= frames.size()) fail("ffmpeg made more pictures than the stream has frames");
    seen.push_back({arrivals[first + picture.frame], picture.colour});
  }
  undecodable = static_cast<int>(frames.size() - first - pictures.size());
  return seen;
}

// UDP datagrams the kernel dropped for a full receive buffer so far, in the namespace `inNamespace` runs commands in
// (empty: this one).
long long udpReceiveBufferErrors(const std::string& inNamespace) {
  const std::string command = inNamespace + "cat /proc/net/snmp";
  FILE* pipe = ::popen(command.c_str(), "r");
  if (!pipe) return -1;
  char line[1024];
  std::vector<std::string> udp;
  while (std::fgets(line, sizeof line, pipe)) {
    if (std::string_view(line).starts_with("Udp: ")) udp.emplace_back(line);
  }
  ::pclose(pipe);
  if (udp.size() != 2) return -1;
  // A header line of names, then one of values.
  std::istringstream names(udp[0]), values(udp[1]);
  for (std::string name, value; names >> name && values >> value;) {
    if (name == "RcvbufErrors") return std::atoll(value.c_str());
  }
  return -1;
}

// The local client's next record with the moment it was there, taken on the I/O thread that hands it over: the main
// loop that waits for it may look only every few milliseconds.
boost::asio::awaitable<std::optional<std::pair<Bytes, Clock::time_point>>> stampedRecord(
    std::shared_ptr<testing::LocalTestClient> client, std::chrono::milliseconds timeout) {
  auto record = co_await client->nextRecord(timeout);
  if (!record) co_return std::nullopt;
  co_return std::pair(std::move(*record), Clock::now());
}

// A received stream, envelope by envelope.
struct ReceivedStream {
  Bytes configuration;
  std::vector<Clock::time_point> arrivals;
  std::vector<VideoFramePayload> frames;

  void add(ByteView record, Clock::time_point at) {
    const auto envelope = parseMediaEnvelope(record);
    if (!envelope) fail("a record that is not one media envelope");
    if (envelope->type == MediaEnvelopeType::videoConfiguration) {
      const auto parsed = parseVideoConfigurationPayload(envelope->payload);
      if (!parsed) fail("an unreadable video configuration");
      if (configuration.empty()) configuration = parsed->decoderConfigurationRecord;
    } else if (auto frame = parseVideoFramePayload(envelope->payload)) {
      arrivals.push_back(at);
      frames.push_back(std::move(*frame));
    }
  }
  int framesBetween(Clock::time_point start, Clock::time_point end) const {
    return static_cast<int>(std::ranges::count_if(arrivals, [&](auto at) { return at >= start && at < end; }));
  }
};

class Bench {
 public:
  Bench(bool withAiortc, bool withChromium, bool chromiumAsksKeyframes)
      : namespaces_(withChromium ? std::make_unique<testing::NetworkNamespaces>() : nullptr) {
    screen_.emplace();
    screen_->startAnimation(kAnimationLowestTop);
    movePointerToCorner(screen_->displayName());
    ::setenv("DISPLAY", screen_->displayName().c_str(), 1);
    service_.emplace();
    std::ofstream(folder_.path() / "ca.pem") << service_->authorityPem();
    authority_ = (folder_.path() / "ca.pem").string();
    ::setenv("SSL_CERT_FILE", authority_.c_str(), 1);
    signalingURL_ = "wss://localhost:" + std::to_string(service_->port()) + "/veltrano/v1/signal";
    ::setenv("VELTRANO_SIGNALING_URL", signalingURL_.c_str(), 1);
    ::setenv("VELTRANO_ICE_LOOPBACK", "1", 1);  // the aiortc tablet gathers on loopback only
    networkThread_ = webrtc::startNetworkThread();

    RealHostServiceOptions services;
    services.identityProvider = [key = key_] { return VeltranoIdentity(key); };
    services.captureEnvironment.xDisplayName = screen_->displayName();
    HostViewModel::Options options;
    options.services = makeRealHostServiceFactory(services);
    options.computerName = [] { return std::string("Remote video bench"); };
    model_ = HostViewModel::create(std::move(options));
    testing::awaitOn(loop_, model_->refreshPermissions());
    model_->startServer();
    loop_.runUntil([&] { return !model_->startupTask().get(); }, 60s);
    if (!model_->metrics->isRunning.get()) fail("the host did not start: " + model_->metrics->lastError.get());
    const auto session = model_->displaySession(screen_->monitorID());
    if (!session) fail("the host streams no session of the bench monitor");
    videoPort_ = session->videoPort;
    const auto authenticated = service_->waitForEvent("authenticated ", 0, 60s);
    if (!authenticated) fail("the host did not sign in to the signaling service");

    if (withAiortc) {
      aiortc_ = std::make_unique<testing::PeerProcess>(
          "/usr/bin/python3 " VELTRANO_TEST_PEERS "/aiortc_remote_tablet.py " + signalingURL_ + " " + authority_ + " " +
          base64urlEncode(key_.seed()) + " ipad-bench BENCH-1");
      if (!nextControl(*aiortc_, "hello", 60s)) fail("the aiortc tablet got no hello");
      setQuality(*aiortc_);
    }
    if (withChromium) {
      chromium_.emplace(*service_, key_, "ipad-bench-chromium");
      if (!chromium_->connected.waitForCount(1, 30s)) fail("the Chromium tablet did not sign in");
      chromium_->recordsVideo = true;
      chromium_->offer(namespaces_->inPeer() + kChromium,
                       authenticated->substr(std::string("authenticated ").size()), "BENCH-2", true);
      if (!nextControl(*chromium_->peer(), "hello", 60s)) fail("the Chromium tablet got no hello");
      setQuality(*chromium_->peer());
      if (chromiumAsksKeyframes) chromium_->peer()->send({{"type", "askKeyframes"}, {"on", true}});
    }
    control_ = testing::awaitOn(loop_, testing::LocalTestClient::connect(9090, LocalTransportChannel::control, key_, {}));
    if (!testing::awaitOn(loop_, control_->nextJSON(10s))) fail("the local control channel got no hello");
  }
  ~Bench() {
    if (aiortc_) aiortc_->send({{"type", "close"}});
    aiortc_.reset();
    chromium_.reset();
    control_.reset();
    model_->stopServer(false);
    const Task shutdown = model_->shutdownTask().get().task;
    loop_.runUntil([&] { return !shutdown || shutdown.isFinished(); }, 30s);
    screen_->stopAnimation();
  }

  Phase local(int draws, unsigned seed) {
    auto video = testing::awaitOn(loop_, testing::LocalTestClient::connect(videoPort_, LocalTransportChannel::video,
                                                                           key_, {}));
    ReceivedStream stream;
    const auto receive = [&](std::chrono::milliseconds timeout) {
      const auto record = testing::awaitOn(loop_, stampedRecord(video, timeout));
      if (record) stream.add(record->first, record->second);
    };
    for (const auto until = Clock::now() + 1s; Clock::now() < until;) receive(50ms);  // to the stream's keyframe
    if (stream.frames.empty() || !stream.frames.front().keyframe) fail("no keyframe first on the local path");
    const double cpuBefore = cpuSeconds();
    const auto start = Clock::now();
    MarkPainter painter(*screen_, draws, seed);
    while (!painter.done()) receive(20ms);
    const double cpu = cpuSeconds() - cpuBefore;
    const auto end = Clock::now();
    for (const auto until = Clock::now() + 300ms; Clock::now() < until;) receive(50ms);  // the last marks' frames
    const auto marks = painter.draws();
    video->close();
    video.reset();
    loop_.runUntil([] { return false; }, 300ms);  // the host lets the viewer go
    int undecodable = 0;
    const auto seen = decodeReceived(stream.configuration, stream.frames, stream.arrivals, undecodable);
    return measured(marks, seen, stream.framesBetween(start, end), undecodable, cpu, end - start);
  }

  // Also gives the latencies to the frame decoded at the tablet in `decoded`.
  Phase aiortc(int draws, unsigned seed, std::vector<double>& decoded) {
    std::vector<SeenFrame> seen, seenDecoded;
    int frames = 0, undecodable = 0;
    const auto take = [&] {
      while (auto m = aiortc_->take([](const json& m) { return m["type"] == "video"; }, 0ms)) {
        if ((*m)["kind"] != "frame") continue;
        ++frames;
        const json& rgb = (*m)["rgb"];
        if (!rgb.is_array() || rgb.size() != 3) {
          if (!seen.empty()) ++undecodable;  // before the first keyframe it cannot be decoded anyway
          continue;
        }
        const std::uint32_t colour = rgb[0].get<std::uint32_t>() << 16 | rgb[1].get<std::uint32_t>() << 8 |
                                     rgb[2].get<std::uint32_t>();
        const auto monotonic = [](double seconds) {
          return Clock::time_point(std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds)));
        };
        seen.push_back({monotonic((*m)["receivedAt"].get<double>()), colour});
        seenDecoded.push_back({monotonic((*m)["at"].get<double>()), colour});
      }
    };
    const long long droppedBefore = udpReceiveBufferErrors("");
    subscribe(*aiortc_, true);
    // To the keyframe asked for the new viewer, and a little more.
    if (!loop_.runUntil([&] { return take(), !seen.empty(); }, 20s)) {
      fail("the aiortc tablet decoded none of its " + std::to_string(frames) + " frames after subscribing");
    }
    loop_.runUntil([&] { return take(), false; }, 500ms);
    const int first = frames;
    const double cpuBefore = cpuSeconds();
    const auto start = Clock::now();
    MarkPainter painter(*screen_, draws, seed);
    loop_.runUntil([&] { return take(), painter.done(); }, 600s);
    const double cpu = cpuSeconds() - cpuBefore;
    const auto end = Clock::now();
    const int last = frames;
    loop_.runUntil([&] { return take(), false; }, 300ms);
    const auto marks = painter.draws();
    subscribe(*aiortc_, false);
    loop_.runUntil([&] { return take(), false; }, 500ms);  // what was on its way
    const long long dropped = udpReceiveBufferErrors("") - droppedBefore;

    int missedDecoded = 0;
    matchDraws(marks, seenDecoded, decoded, missedDecoded);
    Phase phase = measured(marks, seen, last - first, undecodable, cpu, end - start);
    phase.droppedDatagrams = dropped;
    return phase;
  }

  Phase chromium(int draws, unsigned seed) {
    testing::PeerProcess& tablet = *chromium_->peer();
    const long long droppedBefore = udpReceiveBufferErrors(namespaces_->inPeer());
    subscribe(tablet, true);
    loop_.runUntil([] { return false; }, 1s);  // to the keyframe asked for the new viewer, and a little more
    const double cpuBefore = cpuSeconds();
    const auto start = Clock::now();
    MarkPainter painter(*screen_, draws, seed);
    loop_.runUntil([&] { return painter.done(); }, 600s);
    const double cpu = cpuSeconds() - cpuBefore;
    const auto end = Clock::now();
    loop_.runUntil([] { return false; }, 300ms);  // the last marks' frames
    const auto marks = painter.draws();
    subscribe(tablet, false);
    loop_.runUntil([] { return false; }, 500ms);  // what was on its way
    const long long dropped = udpReceiveBufferErrors(namespaces_->inPeer()) - droppedBefore;

    const ReceivedStream stream = chromiumRecords(tablet);
    if (stream.frames.empty()) fail("the Chromium tablet got no frame after subscribing");
    int undecodable = 0;
    const auto seen = decodeReceived(stream.configuration, stream.frames, stream.arrivals, undecodable);
    Phase phase = measured(marks, seen, stream.framesBetween(start, end), undecodable, cpu, end - start);
    phase.droppedDatagrams = dropped;
    return phase;
  }

  // The local client and the Chromium tablet watch at once for `duration`: each frame's arrival at the tablet less
  // its arrival at the local client, by presentation time, is what the remote path adds to the local one.
  struct SideBySide {
    std::vector<double> extra;  // ms, per frame both got
    int localFrames = 0;
    int remoteFrames = 0;
    int missing = 0;         // frames the local client got between the tablet's first and last that the tablet did not
    int longestGap = 0;      // of those in a row
    long long dropped = 0;
    long long hostDropped = 0;
  };
  SideBySide sideBySide(Clock::duration duration) {
    testing::PeerProcess& tablet = *chromium_->peer();
    auto video = testing::awaitOn(loop_, testing::LocalTestClient::connect(videoPort_, LocalTransportChannel::video,
                                                                           key_, {}));
    ReceivedStream local;
    const auto receive = [&](std::chrono::milliseconds timeout) {
      const auto record = testing::awaitOn(loop_, stampedRecord(video, timeout));
      if (record) local.add(record->first, record->second);
    };
    const long long droppedBefore = udpReceiveBufferErrors(namespaces_->inPeer());
    const auto hostDroppedBefore = hostDroppedFrames();
    subscribe(tablet, true);
    for (const auto until = Clock::now() + duration; Clock::now() < until;) receive(20ms);
    subscribe(tablet, false);
    for (const auto until = Clock::now() + 500ms; Clock::now() < until;) receive(50ms);
    video->close();
    video.reset();
    SideBySide result;
    result.dropped = udpReceiveBufferErrors(namespaces_->inPeer()) - droppedBefore;
    result.hostDropped = hostDroppedFrames() - hostDroppedBefore;
    const ReceivedStream remote = chromiumRecords(tablet);
    if (!remote.frames.empty()) {
      std::set<std::uint64_t> got;
      for (const auto& frame : remote.frames) got.insert(frame.presentationTimeMicros);
      int run = 0;
      for (const auto& frame : local.frames) {
        const auto pts = frame.presentationTimeMicros;
        if (pts < *got.begin() || pts > *got.rbegin()) continue;
        run = got.contains(pts) ? 0 : run + 1;
        if (run > 0) ++result.missing;
        result.longestGap = std::max(result.longestGap, run);
      }
    }
    std::map<std::uint64_t, Clock::time_point> localArrivals;
    for (std::size_t i = 0; i < local.frames.size(); ++i) {
      localArrivals.emplace(local.frames[i].presentationTimeMicros, local.arrivals[i]);
    }
    for (std::size_t i = 0; i < remote.frames.size(); ++i) {
      const auto found = localArrivals.find(remote.frames[i].presentationTimeMicros);
      if (found != localArrivals.end()) result.extra.push_back(milliseconds(remote.arrivals[i] - found->second));
    }
    result.localFrames = static_cast<int>(local.frames.size());
    result.remoteFrames = static_cast<int>(remote.frames.size());
    loop_.runUntil([] { return false; }, 300ms);  // the host lets the viewers go
    return result;
  }

  std::int64_t hostDroppedFrames() const { return model_->metrics->videoFramesDropped.get(); }

  bool has(Path path) const {
    return path == Path::local || (path == Path::aiortc && aiortc_) || (path == Path::chromium && chromium_);
  }

 private:
  static Phase measured(const std::vector<Draw>& marks, const std::vector<SeenFrame>& seen, int frames,
                        int undecodable, double cpu, Clock::duration elapsed) {
    Phase phase;
    matchDraws(marks, seen, phase.latencies, phase.missed);
    phase.frames = frames;
    phase.undecodable = undecodable;
    phase.cpu = cpu;
    phase.seconds = std::chrono::duration<double>(elapsed).count();
    return phase;
  }
  // What the Chromium tablet kept since it last handed its video over, with the arrivals on this clock.
  ReceivedStream chromiumRecords(testing::PeerProcess& tablet) {
    // The page stamps on the system's clock; this maps it onto the steady one.
    const auto steadyNow = Clock::now();
    const double systemNow =
        std::chrono::duration<double, std::milli>(std::chrono::system_clock::now().time_since_epoch()).count();
    tablet.send({{"type", "videoRecords"}});
    ReceivedStream stream;
    for (;;) {
      std::optional<json> m;
      loop_.runUntil(
          [&] {
            m = tablet.take([](const json& m) { return m["type"] == "videoRecord" || m["type"] == "videoRecorded"; },
                            0ms);
            return m.has_value();
          },
          60s);
      if (!m) fail("the Chromium tablet did not hand over its video");
      if ((*m)["type"] == "videoRecorded") return stream;
      const auto data = base64urlDecode((*m)["data"].get<std::string>());
      if (!data) fail("an unreadable video record from the Chromium tablet");
      stream.add(*data, steadyNow + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double, std::milli>(
                                        (*m)["receivedAt"].get<double>() - systemNow)));
    }
  }
  void sendControl(testing::PeerProcess& tablet, const json& command) {
    tablet.send({{"type", "send"}, {"label", "veltrano.control"}, {"text", command.dump()}});
  }
  // 60 fps for every display, at the default bit rate.
  void setQuality(testing::PeerProcess& tablet) {
    sendControl(tablet, {{"type", "setQuality"}, {"bitrate", 0}, {"maxFps", kFps}});
    if (!nextControl(tablet, "setQuality", 20s)) fail("no reply to setQuality");
  }
  void subscribe(testing::PeerProcess& tablet, bool watching) {
    sendControl(tablet, {{"type", "setVideoSubscriptions"},
                         {"displayIDs", watching ? json::array({screen_->monitorID()}) : json::array()}});
  }
  std::optional<json> nextControl(testing::PeerProcess& tablet, const std::string& type,
                                  std::chrono::milliseconds timeout) {
    std::optional<json> found;
    loop_.runUntil(
        [&] {
          found = tablet.take(
              [&](const json& m) {
                return m["type"] == "message" && m["label"] == "veltrano.control" &&
                       json::parse(m["text"].get<std::string>()).value("type", "") == type;
              },
              0ms);
          return found.has_value();
        },
        timeout);
    return found;
  }

  // First: the threads started from here on (the host's, the service's, Xvfb) live in the host's namespace.
  std::unique_ptr<testing::NetworkNamespaces> namespaces_;
  testing::FixedPortsLock portsLock_;
  std::optional<BenchScreen> screen_;
  testing::TemporaryFolder folder_{"veltrano-remote-video-bench"};
  std::optional<testing::SignalingTestService> service_;
  std::string authority_;
  std::string signalingURL_;
  std::shared_ptr<void> networkThread_;
  MainLoopForTests loop_;
  platform::SigningKey key_ = platform::SigningKey::generate();
  std::shared_ptr<HostViewModel> model_;
  std::uint16_t videoPort_ = 0;
  std::unique_ptr<testing::PeerProcess> aiortc_;
  std::optional<testing::SignalingTablet> chromium_;
  std::shared_ptr<testing::LocalTestClient> control_;
};

int run(int rounds, int draws, bool localFirst, bool withAiortc, bool withChromium, bool chromiumAsksKeyframes) {
  if (withChromium) {
    if (auto reason = testing::NetworkNamespaces::unavailable()) fail(*reason);
  }
  setMainExecutor({}, std::this_thread::get_id());
  ThreadPools pools;
  std::printf("load %s at the start; %d rounds of %d marks per path, 1920x1080 at %d fps\n", loadAverage().c_str(),
              rounds, draws, kFps);
  constexpr std::size_t kPaths = kPathNames.size();
  std::array<std::vector<double>, kPaths> latency;
  std::vector<double> decoded;  // aiortc, to the decoded picture
  std::array<int, kPaths> missed{}, frames{}, undecodable{};
  std::array<long long, kPaths> dropped{};
  // Of the rounds in which a remote tablet's socket dropped nothing: that path's marks, and the local path's marks of
  // the same rounds beside them.
  std::array<std::vector<double>, kPaths> clean, cleanLocal;
  std::array<double, kPaths> cpu{}, seconds{};
  std::vector<Path> paths{Path::local};
  if (withAiortc) paths.push_back(Path::aiortc);
  if (withChromium) paths.push_back(Path::chromium);
  {
    Bench bench(withAiortc, withChromium, chromiumAsksKeyframes);
    if (withChromium && chromiumAsksKeyframes) std::printf("the Chromium tablet asks for a keyframe when it lost one\n");
    for (int i = 0; i < rounds; ++i) {
      // Turns the order each round, so that no path always follows the same one.
      const auto seed = static_cast<unsigned>(i + 1);
      std::array<std::optional<Phase>, kPaths> phases;
      for (std::size_t k = 0; k < paths.size(); ++k) {
        const Path path = paths[(k + static_cast<std::size_t>(i) + (localFirst ? 0 : 1)) % paths.size()];
        const auto hostDroppedBefore = bench.hostDroppedFrames();
        auto& phase = phases[static_cast<std::size_t>(path)];
        phase = path == Path::local    ? bench.local(draws, seed)
                : path == Path::aiortc ? bench.aiortc(draws, seed, decoded)
                                       : bench.chromium(draws, seed);
        phase->hostDropped = bench.hostDroppedFrames() - hostDroppedBefore;
      }
      std::printf("round %d:", i + 1);
      for (const Path path : paths) {
        const auto p = static_cast<std::size_t>(path);
        const Phase& phase = *phases[p];
        latency[p].insert(latency[p].end(), phase.latencies.begin(), phase.latencies.end());
        missed[p] += phase.missed;
        frames[p] += phase.frames;
        undecodable[p] += phase.undecodable;
        dropped[p] += phase.droppedDatagrams;
        if (phase.droppedDatagrams == 0) {
          clean[p].insert(clean[p].end(), phase.latencies.begin(), phase.latencies.end());
          cleanLocal[p].insert(cleanLocal[p].end(), phases[0]->latencies.begin(), phases[0]->latencies.end());
        }
        cpu[p] += phase.cpu;
        seconds[p] += phase.seconds;
        std::printf(" %s p50 %.1f p99 %.1f ms, %.1f fps, CPU %.2f ms/frame, %d without a picture", kPathNames[p],
                    percentile(phase.latencies, 0.5), percentile(phase.latencies, 0.99), phase.frames / phase.seconds,
                    1000 * phase.cpu / std::max(1, phase.frames), phase.undecodable);
        std::printf(", host dropped %lld", phase.hostDropped);
        if (path != Path::local) std::printf(", %lld datagrams dropped", phase.droppedDatagrams);
        std::printf(";");
      }
      std::printf(" load %s\n", loadAverage().c_str());
      std::fflush(stdout);
    }
    if (withChromium) {
      const auto both = bench.sideBySide(10s);
      std::printf("side by side for 10 s (load %s): local %d frames, Chromium %d (%d of the local ones missing, at most "
                  "%d in a row), %lld datagrams dropped, host dropped %lld; Chromium's arrival less the local one, per "
                  "frame both got (%zu): p50 %.2f, p90 %.2f, p99 %.2f, max %.2f ms\n",
                  loadAverage().c_str(), both.localFrames, both.remoteFrames, both.missing, both.longestGap,
                  both.dropped, both.hostDropped, both.extra.size(),
                  percentile(both.extra, 0.5), percentile(both.extra, 0.9), percentile(both.extra, 0.99),
                  percentile(both.extra, 1.0));
    }
  }
  std::printf("load %s at the end\n", loadAverage().c_str());
  for (const Path path : paths) {
    if (latency[static_cast<std::size_t>(path)].empty()) fail(std::string("no mark was seen on ") + kPathNames[static_cast<std::size_t>(path)]);
  }
  const auto perFrame = [&](std::size_t p) { return 1000 * cpu[p] / std::max(1, frames[p]); };
  const double p50Local = percentile(latency[0], 0.5), p99Local = percentile(latency[0], 0.99);
  std::printf("%-10s draw to tablet p50 %5.1f ms, p99 %5.1f ms; CPU per frame %.2f ms; marks seen %zu, missed %d; "
              "%d frames at %.1f fps, %d without a picture\n",
              kPathNames[0], p50Local, p99Local, perFrame(0), latency[0].size(), missed[0], frames[0],
              frames[0] / seconds[0], undecodable[0]);
  for (const Path path : paths) {
    const auto p = static_cast<std::size_t>(path);
    if (path == Path::local) continue;
    const double p50 = percentile(latency[p], 0.5), p99 = percentile(latency[p], 0.99);
    std::printf("%-10s draw to tablet p50 %5.1f ms (%.2fx), p99 %5.1f ms (%.2fx); CPU per frame %.2f ms (%.2fx); "
                "marks seen %zu, missed %d; %d frames at %.1f fps, %d without a picture\n",
                kPathNames[p], p50, p50 / p50Local, p99, p99 / p99Local, perFrame(p), perFrame(p) / perFrame(0),
                latency[p].size(), missed[p], frames[p], frames[p] / seconds[p], undecodable[p]);
  }
  for (const Path path : paths) {
    const auto p = static_cast<std::size_t>(path);
    if (path == Path::local) continue;
    std::printf("%-10s %lld datagrams dropped for a full socket buffer", kPathNames[p], dropped[p]);
    if (!clean[p].empty()) {
      std::printf("; in the rounds without: p50 %.1f / local %.1f ms (%.2fx), p99 %.1f / local %.1f ms (%.2fx), %zu marks",
                  percentile(clean[p], 0.5), percentile(cleanLocal[p], 0.5),
                  percentile(clean[p], 0.5) / percentile(cleanLocal[p], 0.5), percentile(clean[p], 0.99),
                  percentile(cleanLocal[p], 0.99), percentile(clean[p], 0.99) / percentile(cleanLocal[p], 0.99),
                  clean[p].size());
    }
    std::printf("\n");
  }
  if (withAiortc) {
    std::printf("aiortc, to the frame decoded at the tablet (PyAV): p50 %.1f, p99 %.1f ms\n", percentile(decoded, 0.5),
                percentile(decoded, 0.99));
  }
  return 0;
}

}  // namespace
}  // namespace veltrano

int main(int argc, char** argv) {
  std::vector<int> numbers;
  bool localFirst = false, withAiortc = true, withChromium = true, chromiumAsksKeyframes = false;
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg == "local-first") {
      localFirst = true;
    } else if (arg == "asks-keyframes") {
      chromiumAsksKeyframes = true;
    } else if (arg == "aiortc" || arg == "chromium" || arg == "both") {
      withAiortc = arg != "chromium";
      withChromium = arg != "aiortc";
    } else {
      numbers.push_back(std::atoi(argv[i]));
    }
  }
  const int rounds = numbers.size() > 0 ? std::max(1, numbers[0]) : 4;
  const int draws = numbers.size() > 1 ? std::max(10, numbers[1]) : 150;
  try {
    return veltrano::run(rounds, draws, localFirst, withAiortc, withChromium, chromiumAsksKeyframes);
  } catch (const std::exception& error) {
    std::fprintf(stderr, "remote video bench: %s\n", error.what());
    return 1;
  }
}
