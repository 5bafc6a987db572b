// A returned monitor to its first frame. The host view model on its real services captures the one monitor of a
// private 1920x1080 Xvfb for a viewer that stays connected; the monitor is removed, the capture's retry waits, the
// monitor comes back and the retry's wait is cut short on the model's virtual clock, so the time measured is the
// host's own: the restart of the capture and the encoder to the viewer's first keyframe. In turn with each round,
// ffmpeg's x11grab and libx264 (ultrafast, zerolatency) started on the same monitor to its first encoded frame: a
// grabber started afresh the moment the monitor is back. Run under the test environment (system bus, Avahi; the
// benchmark takes the fixed ports' file lock) with nothing else on the host's ports.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <vector>

#include "base/clock.hpp"
#include "base/executors.hpp"
#include "core/log_sink.hpp"
#include "core/metrics_store.hpp"
#include "host/host_view_model.hpp"
#include "host/real_host_services.hpp"
#include "media_bench_screen.hpp"
#include "media/media_envelope.hpp"
#include "platform/crypto/signing_key.hpp"
#include "support/host_fixed_ports.hpp"
#include "support/local_test_client.hpp"
#include "support/run_blocking.hpp"
#include "transport/veltrano_identity.hpp"

namespace veltrano {
namespace {

using namespace std::chrono_literals;
using Millis = std::chrono::duration<double, std::milli>;
using testing::awaitOn;
using testing::LocalTestClient;

constexpr const char* kMonitor = "VL-BENCH 1920/508x1080/286+0+0 screen";

double percentile(std::vector<double> values, double fraction) {
  std::sort(values.begin(), values.end());
  const auto index = static_cast<std::size_t>(fraction * static_cast<double>(values.size() - 1) + 0.5);
  return values[index];
}

double loadAverage() {
  double load = 0;
  if (FILE* file = std::fopen("/proc/loadavg", "r")) {
    if (std::fscanf(file, "%lf", &load) != 1) load = 0;
    std::fclose(file);
  }
  return load;
}

void xrandr(const bench::BenchScreen& screen, const std::string& arguments) {
  const std::string command = "DISPLAY=" + screen.displayName() + " xrandr " + arguments + " >/dev/null 2>&1";
  if (std::system(command.c_str()) != 0) throw std::runtime_error("xrandr " + arguments + " failed");
}

// ffmpeg started on the monitor's area to the first byte of its first encoded frame.
Millis ffmpegFirstFrame(const bench::BenchScreen& screen) {
  const std::string command = "ffmpeg -nostdin -v error -f x11grab -framerate 60 -video_size 1920x1080 -i " +
                              screen.displayName() +
                              "+0,0 -frames:v 1 -c:v libx264 -preset ultrafast -tune zerolatency -f h264 pipe:1";
  const auto begin = std::chrono::steady_clock::now();
  FILE* pipe = ::popen(command.c_str(), "r");
  if (!pipe) throw std::runtime_error("cannot start ffmpeg");
  char byte = 0;
  const bool got = std::fread(&byte, 1, 1, pipe) == 1;
  const Millis elapsed = std::chrono::steady_clock::now() - begin;
  char rest[4096];
  while (std::fread(rest, 1, sizeof rest, pipe) > 0) {
  }
  ::pclose(pipe);
  if (!got) throw std::runtime_error("ffmpeg wrote no frame");
  return elapsed;
}

class CapturingHost {
 public:
  explicit CapturingHost(const bench::BenchScreen& screen) : screen_(screen) {
    ::setenv("DISPLAY", screen.displayName().c_str(), 1);  // permissions and input on the same server
    RealHostServiceOptions services;
    services.identityProvider = [key = key_] { return VeltranoIdentity(key); };
    services.captureEnvironment.xDisplayName = screen.displayName();
    HostViewModel::Options options;
    options.services = makeRealHostServiceFactory(services);
    options.clock = &clock_;
    options.computerName = [] { return "Monitor bench " + std::to_string(::getpid()); };
    setLogSink(nullptr);
    model_ = HostViewModel::create(std::move(options));
    awaitOn(loop_, model_->refreshPermissions());
    if (!model_->hasAllPermissions()) throw std::runtime_error("the private Xvfb lacks XTEST");
    model_->startServer();
    loop_.runUntil([&] { return !model_->startupTask().get(); }, 60s);
    if (!model_->metrics->isRunning.get()) throw std::runtime_error("start failed: " + model_->metrics->lastError.get());
    control_ = awaitOn(loop_, LocalTestClient::connect(9090, LocalTransportChannel::control, key_, {}));
    const auto session = model_->displaySession(screen.monitorID());
    if (!session) throw std::runtime_error("no display session for the monitor");
    video_ = awaitOn(loop_, LocalTestClient::connect(session->videoPort, LocalTransportChannel::video, key_, {}));
    if (!nextKeyframe()) throw std::runtime_error("no first keyframe");
  }
  ~CapturingHost() {
    video_->close();
    control_->close();
    model_->stopServer(false);
    const Task shutdown = model_->shutdownTask().get().task;
    loop_.runUntil([&] { return !shutdown || shutdown.isFinished(); }, 60s);
    loop_.drain();
  }
  CapturingHost(const CapturingHost&) = delete;
  CapturingHost& operator=(const CapturingHost&) = delete;

  // The monitor goes; once the retry waits on the model's clock it comes back, the wait is cut short, and the
  // time runs from the monitor's return to the viewer's first keyframe.
  Millis returnedMonitorToFirstFrame() {
    const std::uint32_t id = screen_.monitorID();
    const std::size_t sleepersBefore = clock_.sleeperCount();
    xrandr(screen_, "--delmonitor VL-BENCH");
    const bool waiting = loop_.runUntil(
        [&] { return model_->captureRetryTasks().get().contains(id) && clock_.sleeperCount() > sleepersBefore; }, 30s);
    if (!waiting) throw std::runtime_error("no retry after the monitor went");
    // What the stream sent before it stopped.
    while (awaitOn(loop_, video_->nextRecord(200ms))) {
    }
    xrandr(screen_, std::string("--setmonitor ") + kMonitor);
    const auto begin = std::chrono::steady_clock::now();
    clock_.advance(15s);  // past any attempt's wait
    if (!nextKeyframe()) throw std::runtime_error("no keyframe after the monitor came back");
    const Millis elapsed = std::chrono::steady_clock::now() - begin;
    if (!model_->activeCaptureDisplayIDs().get().contains(id)) throw std::runtime_error("not recorded as active");
    return elapsed;
  }

 private:
  bool nextKeyframe() {
    const auto deadline = std::chrono::steady_clock::now() + 30s;
    while (std::chrono::steady_clock::now() < deadline) {
      const auto record = awaitOn(loop_, video_->nextRecord(1s));
      if (!record) continue;
      const auto envelope = parseMediaEnvelope(*record);
      if (!envelope || envelope->type != MediaEnvelopeType::videoFrame) continue;
      const auto frame = parseVideoFramePayload(envelope->payload);
      if (frame && frame->keyframe) return true;
    }
    return false;
  }

  const bench::BenchScreen& screen_;
  testing::FixedPortsLock portsLock_;
  MainLoopForTests loop_;
  VirtualClock clock_{[this] { loop_.drain(); }};
  platform::SigningKey key_ = platform::SigningKey::generate();
  std::shared_ptr<HostViewModel> model_;
  std::shared_ptr<LocalTestClient> control_;
  std::shared_ptr<LocalTestClient> video_;
};

void BM_ReturnedMonitorToFirstFrame(benchmark::State& state) {
  bench::BenchScreen screen;
  screen.startAnimation();
  std::vector<double> ours;
  std::vector<double> ffmpeg;
  double load = 0;
  for (auto _ : state) {
    CapturingHost host(screen);
    for (int round = 0; round < 20; ++round) {
      ours.push_back(host.returnedMonitorToFirstFrame().count());
      ffmpeg.push_back(ffmpegFirstFrame(screen).count());
      load = std::max(load, loadAverage());
    }
  }
  screen.stopAnimation();
  state.counters["ours_p50_ms"] = percentile(ours, 0.5);
  state.counters["ours_max_ms"] = percentile(ours, 1.0);
  state.counters["ffmpeg_p50_ms"] = percentile(ffmpeg, 0.5);
  state.counters["ffmpeg_max_ms"] = percentile(ffmpeg, 1.0);
  state.counters["ours_vs_ffmpeg_p50"] = percentile(ours, 0.5) / percentile(ffmpeg, 0.5);
  state.counters["load"] = load;
}

BENCHMARK(BM_ReturnedMonitorToFirstFrame)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

}  // namespace
}  // namespace veltrano
