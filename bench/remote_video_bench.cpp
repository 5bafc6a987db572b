// Draw-to-tablet latency and the host's CPU per streamed frame through the whole host (real services, this process)
// on a private 1920x1080 Xvfb streamed at 60 fps: a remote aiortc tablet over the data channels (signals through the
// local wss signaling service, ICE on loopback) in turn with a local client on the display's video port (TCP, the
// real handshakes), in one run. A rectangle moves across the top of the screen all the time, so that every grab has
// something new; marks of changing colours are painted at the centre at random moments, and a mark's latency runs
// from the X server having drawn it to the first frame at the tablet that shows it (the local stream is decoded by
// ffmpeg afterwards, the remote one by the tablet's PyAV as it comes; both are timed when the whole frame is in).
// CPU is this process's (the host's) user + system time over each phase, per frame the tablet got.
// Needs the host's fixed ports, python3 with aiortc and PyAV, ffmpeg, and the test environment (scripts/test-env).
// Usage: veltrano_bench_remote_video [rounds] [draws per phase] [local-first: the local path goes first in round 1]
#include <sys/resource.h>
#include <xcb/xcb.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <thread>
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
#include "platform/crypto/signing_key.hpp"
#include "platform/webrtc/peer_connection.hpp"
#include "support/host_fixed_ports.hpp"
#include "support/local_test_client.hpp"
#include "support/peer_process.hpp"
#include "support/run_blocking.hpp"
#include "support/signaling_test_service.hpp"
#include "support/temporary_folder.hpp"
#include "transport/veltrano_identity.hpp"

namespace veltrano {
namespace {

using namespace std::chrono_literals;
using bench::BenchScreen;
using bench::loadAverage;
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

[[noreturn]] void fail(const std::string& why) {
  std::fprintf(stderr, "remote video bench: %s\n", why.c_str());
  std::exit(1);
}

double percentile(std::vector<double> values, double q) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  return values[std::min(values.size() - 1, static_cast<std::size_t>(q * static_cast<double>(values.size() - 1) + 0.5))];
}

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

class Bench {
 public:
  Bench() {
    screen_.startAnimation(kAnimationLowestTop);
    movePointerToCorner(screen_.displayName());
    ::setenv("DISPLAY", screen_.displayName().c_str(), 1);
    std::ofstream(folder_.path() / "ca.pem") << service_.authorityPem();
    authority_ = (folder_.path() / "ca.pem").string();
    ::setenv("SSL_CERT_FILE", authority_.c_str(), 1);
    signalingURL_ = "wss://localhost:" + std::to_string(service_.port()) + "/veltrano/v1/signal";
    ::setenv("VELTRANO_SIGNALING_URL", signalingURL_.c_str(), 1);
    ::setenv("VELTRANO_ICE_LOOPBACK", "1", 1);
    networkThread_ = webrtc::startNetworkThread();

    RealHostServiceOptions services;
    services.identityProvider = [key = key_] { return VeltranoIdentity(key); };
    services.captureEnvironment.xDisplayName = screen_.displayName();
    HostViewModel::Options options;
    options.services = makeRealHostServiceFactory(services);
    options.computerName = [] { return std::string("Remote video bench"); };
    model_ = HostViewModel::create(std::move(options));
    testing::awaitOn(loop_, model_->refreshPermissions());
    model_->startServer();
    loop_.runUntil([&] { return !model_->startupTask.get(); }, 60s);
    if (!model_->metrics->isRunning.get()) fail("the host did not start: " + model_->metrics->lastError.get());
    const auto session = model_->displaySession(screen_.monitorID());
    if (!session) fail("the host streams no session of the bench monitor");
    videoPort_ = session->videoPort;

    tablet_ = std::make_unique<testing::PeerProcess>(
        "/usr/bin/python3 " VELTRANO_TEST_PEERS "/aiortc_remote_tablet.py " + signalingURL_ + " " + authority_ + " " +
        base64urlEncode(key_.seed()) + " ipad-bench BENCH-1");
    if (!nextControl("hello", 60s)) fail("the aiortc tablet got no hello");
    // 60 fps for every display, at the default bit rate.
    sendControl({{"type", "setQuality"}, {"bitrate", 0}, {"maxFps", kFps}});
    if (!nextControl("setQuality", 20s)) fail("no reply to setQuality");
    control_ = testing::awaitOn(loop_, testing::LocalTestClient::connect(9090, LocalTransportChannel::control, key_, {}));
    if (!testing::awaitOn(loop_, control_->nextJSON(10s))) fail("the local control channel got no hello");
  }
  ~Bench() {
    if (tablet_) tablet_->send({{"type", "close"}});
    tablet_.reset();
    control_.reset();
    model_->stopServer(false);
    const Task shutdown = model_->shutdownTask.get().task;
    loop_.runUntil([&] { return !shutdown || shutdown.isFinished(); }, 30s);
    screen_.stopAnimation();
  }

  Phase local(int draws, unsigned seed) {
    auto video = testing::awaitOn(loop_, testing::LocalTestClient::connect(videoPort_, LocalTransportChannel::video,
                                                                           key_, {}));
    Bytes configuration;
    std::vector<Clock::time_point> arrivals;
    std::vector<VideoFramePayload> frames;
    const auto receive = [&](std::chrono::milliseconds timeout) {
      const auto record = testing::awaitOn(loop_, video->nextRecord(timeout));
      if (!record) return;
      const auto at = Clock::now();
      const auto envelope = parseMediaEnvelope(*record);
      if (!envelope) fail("a local record that is not one media envelope");
      if (envelope->type == MediaEnvelopeType::videoConfiguration) {
        const auto parsed = parseVideoConfigurationPayload(envelope->payload);
        if (!parsed) fail("an unreadable video configuration");
        if (configuration.empty()) configuration = parsed->decoderConfigurationRecord;
      } else if (auto frame = parseVideoFramePayload(envelope->payload)) {
        arrivals.push_back(at);
        frames.push_back(std::move(*frame));
      }
    };
    for (const auto until = Clock::now() + 1s; Clock::now() < until;) receive(50ms);  // to the stream's keyframe
    const std::size_t first = frames.size();
    const double cpuBefore = cpuSeconds();
    const auto start = Clock::now();
    MarkPainter painter(screen_, draws, seed);
    while (!painter.done()) receive(20ms);
    const double cpu = cpuSeconds() - cpuBefore;
    const auto end = Clock::now();
    const std::size_t last = frames.size();
    for (const auto until = Clock::now() + 300ms; Clock::now() < until;) receive(50ms);  // the last marks' frames
    const auto marks = painter.draws();
    video->close();
    video.reset();
    loop_.runUntil([] { return false; }, 300ms);  // the host lets the viewer go

    if (configuration.empty() || frames.empty() || !frames.front().keyframe) fail("no configuration and keyframe first");
    std::vector<std::uint8_t> stream;
    const auto sets = bench::parameterSetsInAnnexB(configuration);
    for (const auto& frame : frames) {
      if (frame.keyframe) stream.insert(stream.end(), sets.begin(), sets.end());
      bench::appendAccessUnit(stream, frame.accessUnit);
    }
    const auto colours = bench::probeColours(stream, kMarkX + kMarkSize / 2 - kProbeSize / 2,
                                             kMarkY + kMarkSize / 2 - kProbeSize / 2, kProbeSize);
    if (colours.size() != frames.size()) fail("ffmpeg decoded a different number of frames");
    std::vector<SeenFrame> seen;
    for (std::size_t i = 0; i < frames.size(); ++i) seen.push_back({arrivals[i], colours[i]});
    Phase phase;
    matchDraws(marks, seen, phase.latencies, phase.missed);
    phase.frames = static_cast<int>(last - first);
    phase.cpu = cpu;
    phase.seconds = std::chrono::duration<double>(end - start).count();
    return phase;
  }

  // Also gives the latencies to the frame decoded at the tablet in `decoded`.
  Phase remote(int draws, unsigned seed, std::vector<double>& decoded) {
    std::vector<SeenFrame> seen, seenDecoded;
    int frames = 0;
    const auto take = [&] {
      while (auto m = tablet_->take([](const json& m) { return m["type"] == "video"; }, 0ms)) {
        if ((*m)["kind"] != "frame") continue;
        ++frames;
        const json& rgb = (*m)["rgb"];
        if (!rgb.is_array() || rgb.size() != 3) continue;  // before the first keyframe
        const std::uint32_t colour = rgb[0].get<std::uint32_t>() << 16 | rgb[1].get<std::uint32_t>() << 8 |
                                     rgb[2].get<std::uint32_t>();
        const auto monotonic = [](double seconds) {
          return Clock::time_point(std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds)));
        };
        seen.push_back({monotonic((*m)["receivedAt"].get<double>()), colour});
        seenDecoded.push_back({monotonic((*m)["at"].get<double>()), colour});
      }
    };
    sendControl({{"type", "setVideoSubscriptions"}, {"displayIDs", {screen_.monitorID()}}});
    // To the keyframe asked for the new viewer, and a little more.
    if (!loop_.runUntil([&] { return take(), !seen.empty(); }, 20s)) {
      fail("the aiortc tablet decoded none of its " + std::to_string(frames) + " frames after subscribing");
    }
    loop_.runUntil([&] { return take(), false; }, 500ms);
    const int first = frames;
    const double cpuBefore = cpuSeconds();
    const auto start = Clock::now();
    MarkPainter painter(screen_, draws, seed);
    loop_.runUntil([&] { return take(), painter.done(); }, 600s);
    const double cpu = cpuSeconds() - cpuBefore;
    const auto end = Clock::now();
    const int last = frames;
    loop_.runUntil([&] { return take(), false; }, 300ms);
    const auto marks = painter.draws();
    sendControl({{"type", "setVideoSubscriptions"}, {"displayIDs", json::array()}});
    loop_.runUntil([&] { return take(), false; }, 500ms);  // what was on its way

    Phase phase;
    matchDraws(marks, seen, phase.latencies, phase.missed);
    int missedDecoded = 0;
    matchDraws(marks, seenDecoded, decoded, missedDecoded);
    phase.frames = last - first;
    phase.cpu = cpu;
    phase.seconds = std::chrono::duration<double>(end - start).count();
    return phase;
  }

 private:
  void sendControl(const json& command) {
    tablet_->send({{"type", "send"}, {"label", "veltrano.control"}, {"text", command.dump()}});
  }
  std::optional<json> nextControl(const std::string& type, std::chrono::milliseconds timeout) {
    std::optional<json> found;
    loop_.runUntil(
        [&] {
          found = tablet_->take(
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

  testing::FixedPortsLock portsLock_;
  BenchScreen screen_;
  testing::TemporaryFolder folder_{"veltrano-remote-video-bench"};
  testing::SignalingTestService service_;
  std::string authority_;
  std::string signalingURL_;
  std::shared_ptr<void> networkThread_;
  MainLoopForTests loop_;
  platform::SigningKey key_ = platform::SigningKey::generate();
  std::shared_ptr<HostViewModel> model_;
  std::uint16_t videoPort_ = 0;
  std::unique_ptr<testing::PeerProcess> tablet_;
  std::shared_ptr<testing::LocalTestClient> control_;
};

int run(int rounds, int draws, bool localFirst) {
  setMainExecutor({}, std::this_thread::get_id());
  ThreadPools pools;
  std::printf("load %s at the start; %d rounds of %d marks per path, 1920x1080 at %d fps\n", loadAverage().c_str(),
              rounds, draws, kFps);
  std::vector<double> latency[2], decoded;  // [local, remote]
  int missed[2] = {0, 0}, frames[2] = {0, 0};
  double cpu[2] = {0, 0}, seconds[2] = {0, 0};
  {
    Bench bench;
    for (int i = 0; i < rounds; ++i) {
      // Alternates which goes first, so that neither always follows the other.
      std::optional<Phase> phases[2];
      const auto seed = static_cast<unsigned>(i + 1);
      if (i % 2 == (localFirst ? 0 : 1)) {
        phases[0] = bench.local(draws, seed);
        phases[1] = bench.remote(draws, seed, decoded);
      } else {
        phases[1] = bench.remote(draws, seed, decoded);
        phases[0] = bench.local(draws, seed);
      }
      for (int path = 0; path < 2; ++path) {
        const Phase& phase = *phases[path];
        latency[path].insert(latency[path].end(), phase.latencies.begin(), phase.latencies.end());
        missed[path] += phase.missed;
        frames[path] += phase.frames;
        cpu[path] += phase.cpu;
        seconds[path] += phase.seconds;
      }
      std::printf("round %d: p50 local %.1f / remote %.1f ms; fps local %.1f / remote %.1f; CPU per frame local %.2f / "
                  "remote %.2f ms; load %s\n",
                  i + 1, percentile(phases[0]->latencies, 0.5), percentile(phases[1]->latencies, 0.5),
                  phases[0]->frames / phases[0]->seconds, phases[1]->frames / phases[1]->seconds,
                  1000 * phases[0]->cpu / std::max(1, phases[0]->frames),
                  1000 * phases[1]->cpu / std::max(1, phases[1]->frames), loadAverage().c_str());
    }
  }
  std::printf("load %s at the end\n", loadAverage().c_str());
  if (latency[0].empty() || latency[1].empty()) fail("no mark was seen on one of the paths");
  const double p50[2] = {percentile(latency[0], 0.5), percentile(latency[1], 0.5)};
  const double p99[2] = {percentile(latency[0], 0.99), percentile(latency[1], 0.99)};
  std::printf("draw to tablet, ms (local TCP / data channel, ratio): p50 %.1f / %.1f  %.2f; p99 %.1f / %.1f  %.2f\n",
              p50[0], p50[1], p50[1] / p50[0], p99[0], p99[1], p99[1] / p99[0]);
  std::printf("marks seen local %zu, missed %d; remote %zu, missed %d\n", latency[0].size(), missed[0],
              latency[1].size(), missed[1]);
  std::printf("remote, to the frame decoded at the tablet (PyAV): p50 %.1f, p99 %.1f ms\n", percentile(decoded, 0.5),
              percentile(decoded, 0.99));
  const double perFrame[2] = {1000 * cpu[0] / std::max(1, frames[0]), 1000 * cpu[1] / std::max(1, frames[1])};
  std::printf("host CPU per frame, ms (local / remote, ratio): %.2f / %.2f  %.2f; frames %d / %d at %.1f / %.1f fps\n",
              perFrame[0], perFrame[1], perFrame[1] / perFrame[0], frames[0], frames[1], frames[0] / seconds[0],
              frames[1] / seconds[1]);
  return 0;
}

}  // namespace
}  // namespace veltrano

int main(int argc, char** argv) {
  const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 4;
  const int draws = argc > 2 ? std::max(10, std::atoi(argv[2])) : 150;
  const bool localFirst = argc > 3 && std::string_view(argv[3]) == "local-first";
  return veltrano::run(rounds, draws, localFirst);
}
