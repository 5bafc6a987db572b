// The whole host on its real services, as the program runs it: the test environment's Xvfb with two monitors, the
// Avahi daemon, the fixed ports. Run it with the environment's variables set (bash scripts/test-env start FILE;
// source FILE) and nothing else on the host's ports.
//  - BM_StartAndStop: startServer() to "ready" (the start-up ended with the host running) and stopServer() to the
//    last of the five ports refusing connections.
//  - BM_IdleHost: CPU (user + system, every thread of this process) and RSS of a running host with no client,
//    sampled over VELTRANO_BENCH_SECONDS (default 600).
//  - BM_FirstFrame: a viewer's connection (control, then the display's video channel) to its first decodable
//    frame, 50 times, the host idle (capture stopped) before each.
#include <benchmark/benchmark.h>
#include <sys/resource.h>
#include <unistd.h>

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "base/executors.hpp"
#include "core/log_sink.hpp"
#include "core/metrics_store.hpp"
#include "host/host_view_model.hpp"
#include "host/real_host_services.hpp"
#include "media/media_envelope.hpp"
#include "platform/crypto/signing_key.hpp"
#include "platform/memory/allocator.hpp"
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

using testing::acceptsConnections;
using testing::kHostPorts;

double cpuSeconds() {
  rusage usage{};
  ::getrusage(RUSAGE_SELF, &usage);
  auto seconds = [](const timeval& t) { return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6; };
  return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

double residentMiB() { return static_cast<double>(platform::residentBytes()) / (1024.0 * 1024.0); }

double percentile(std::vector<double> values, double fraction) {
  std::sort(values.begin(), values.end());
  const auto index = static_cast<std::size_t>(fraction * static_cast<double>(values.size() - 1) + 0.5);
  return values[index];
}

int benchSeconds(int fallback) {
  const char* text = std::getenv("VELTRANO_BENCH_SECONDS");
  return text ? std::atoi(text) : fallback;
}

// One host view model on the real services, driven from this thread as the program's main thread.
class RunningHost {
 public:
  RunningHost() {
    RealHostServiceOptions services;
    services.identityProvider = [key = key_] { return VeltranoIdentity(key); };
    HostViewModel::Options options;
    options.services = makeRealHostServiceFactory(services);
    options.computerName = [] { return "Host bench " + std::to_string(::getpid()); };
    setLogSink(nullptr);
    model_ = HostViewModel::create(std::move(options));
    awaitOn(loop_, model_->refreshPermissions());
    if (!model_->hasAllPermissions()) throw std::runtime_error("no X server with XTEST: run under scripts/test-env");
  }
  ~RunningHost() {
    if (model_->metrics->isRunning.get()) stop();
    loop_.drain();
  }
  RunningHost(const RunningHost&) = delete;
  RunningHost& operator=(const RunningHost&) = delete;

  // Time until the start-up ended with the host running.
  Millis start() {
    const auto begin = std::chrono::steady_clock::now();
    model_->startServer();
    loop_.runUntil([&] { return !model_->startupTask().get(); }, 60s);
    if (!model_->metrics->isRunning.get()) throw std::runtime_error("start failed: " + model_->metrics->lastError.get());
    return std::chrono::steady_clock::now() - begin;
  }

  // Time until the last port refuses connections; the main loop keeps turning meanwhile.
  Millis stop() {
    const auto begin = std::chrono::steady_clock::now();
    model_->stopServer(false);
    const bool closed = loop_.runUntil(
        [&] { return std::none_of(kHostPorts.begin(), kHostPorts.end(), acceptsConnections); }, 60s);
    const Millis elapsed = std::chrono::steady_clock::now() - begin;
    const Task shutdown = model_->shutdownTask().get().task;
    loop_.runUntil([&] { return !shutdown || shutdown.isFinished(); }, 60s);
    if (!closed) throw std::runtime_error("a port stayed open after the stop");
    return elapsed;
  }

  // Turns the main loop for `duration`, waking only for its own work (a polling loop would be measured too).
  void idle(std::chrono::milliseconds duration) {
    boost::asio::steady_timer timer(loop_.context(), duration);
    bool elapsed = false;
    timer.async_wait([&elapsed](const boost::system::error_code&) { elapsed = true; });
    loop_.context().restart();
    while (!elapsed) loop_.context().run_one();
  }

  // A viewer's connection to its first decodable (key) frame; the clients close afterwards.
  Millis firstFrame() {
    const auto begin = std::chrono::steady_clock::now();
    auto control = awaitOn(loop_, LocalTestClient::connect(9090, LocalTransportChannel::control, key_, {}));
    const auto session = model_->displaySession(model_->metrics->activeDisplayID.get());
    if (!session) throw std::runtime_error("no display session");
    auto video = awaitOn(loop_, LocalTestClient::connect(session->videoPort, LocalTransportChannel::video, key_, {}));
    std::optional<Millis> elapsed;
    while (!elapsed && std::chrono::steady_clock::now() - begin < 30s) {
      const auto record = awaitOn(loop_, video->nextRecord(1s));
      if (!record) continue;
      const auto envelope = parseMediaEnvelope(*record);
      if (!envelope || envelope->type != MediaEnvelopeType::videoFrame) continue;
      const auto frame = parseVideoFramePayload(envelope->payload);
      if (frame && frame->keyframe) elapsed = std::chrono::steady_clock::now() - begin;
    }
    video->close();
    control->close();
    if (!elapsed) throw std::runtime_error("no keyframe within 30 s");
    return *elapsed;
  }

  bool isCaptureActive() const { return model_->isCaptureActive().get(); }
  MainLoopForTests& loop() { return loop_; }

 private:
  testing::FixedPortsLock portsLock_;
  MainLoopForTests loop_;
  platform::SigningKey key_ = platform::SigningKey::generate();
  std::shared_ptr<HostViewModel> model_;
};

void BM_StartAndStop(benchmark::State& state) {
  RunningHost host;
  std::vector<double> starts;
  std::vector<double> stops;
  for (auto _ : state) {
    for (int round = 0; round < 10; ++round) {
      starts.push_back(host.start().count());
      stops.push_back(host.stop().count());
    }
  }
  state.counters["start_p50_ms"] = percentile(starts, 0.5);
  state.counters["start_max_ms"] = percentile(starts, 1.0);
  state.counters["stop_p50_ms"] = percentile(stops, 0.5);
  state.counters["stop_max_ms"] = percentile(stops, 1.0);
}

void BM_IdleHost(benchmark::State& state) {
  RunningHost host;
  const int seconds = benchSeconds(600);
  std::vector<double> rss;
  double cpuShare = 0;
  for (auto _ : state) {
    host.start();
    host.idle(5s);  // settle: Bonjour published, start-up work done
    const double cpuBefore = cpuSeconds();
    const auto begin = std::chrono::steady_clock::now();
    for (int elapsed = 0; elapsed < seconds; elapsed += 10) {
      rss.push_back(residentMiB());
      host.idle(10s);
    }
    rss.push_back(residentMiB());
    const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
    cpuShare = (cpuSeconds() - cpuBefore) / wall;
    if (host.isCaptureActive()) state.SkipWithError("captured with no viewer");
    host.stop();
  }
  state.counters["cpu_percent_of_core"] = cpuShare * 100;
  state.counters["rss_start_MiB"] = rss.front();
  state.counters["rss_end_MiB"] = rss.back();
  state.counters["rss_peak_MiB"] = *std::max_element(rss.begin(), rss.end());
}

void BM_FirstFrame(benchmark::State& state) {
  RunningHost host;
  std::vector<double> times;
  for (auto _ : state) {
    host.start();
    for (int round = 0; round < 50; ++round) {
      // Capture stops two seconds after the last viewer left.
      if (!host.loop().runUntil([&] { return !host.isCaptureActive(); }, 20s)) {
        return state.SkipWithError("capture did not stop after the viewer left");
      }
      host.idle(500ms);
      times.push_back(host.firstFrame().count());
    }
    host.stop();
  }
  state.counters["p50_ms"] = percentile(times, 0.5);
  state.counters["p99_ms"] = percentile(times, 0.99);
  state.counters["max_ms"] = percentile(times, 1.0);
}

BENCHMARK(BM_StartAndStop)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();
BENCHMARK(BM_IdleHost)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();
BENCHMARK(BM_FirstFrame)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

}  // namespace
}  // namespace veltrano
