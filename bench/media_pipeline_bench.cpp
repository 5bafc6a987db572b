// The media path at 1080p on a private Xvfb (one 1920x1080 monitor, a gradient background and, while the CPU and
// memory benchmarks run, a rectangle moving at 60 Hz):
//  - BM_CaptureEncodeCpuAgainstFfmpeg: CPU seconds per encoded frame of the capture service and the encoder as
//    the host wires them (grab, cursor, BGRA to I420, x264), measured on a process of their own (this program
//    started again with --cpu) through wait4, in turn with `ffmpeg -f x11grab ... -c:v libx264` with exactly our
//    encoder's x264 settings, round after round; medians.
//  - BM_EncodedQuality: SSIM and PSNR of what the live capture service and encoder produced (this program with
//    --quality), against the grabs each frame was made from, beside ffmpeg's libx264 with the same settings on the
//    same grabs, so that the CPU figures compare encoders at known quality.
//  - BM_DrawToSocketLatency: the whole path through the video server to a local client on loopback at 60 fps
//    pacing. A mark is painted, timestamped once the X server has drawn it, and the first frame the client
//    receives afterwards that shows it (ffmpeg decodes the received stream afterwards) gives the latency.
//  - BM_SteadyMemory: RSS of a process running capture, encoder, video server and a local client (this program
//    with --memory) over 10,000 frames.
//  - BM_CaptureCycleMemory: RSS of such a process after each of 20 capture starts and stops (--cycles).
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>

#include <algorithm>
#include <array>
#include <condition_variable>
#include <deque>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <future>
#include <iterator>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "bench_main_thread.hpp"
#include "base/executors.hpp"
#include "platform/cpu/usable_cpus.hpp"
#include "core/log_sink.hpp"
#include "core/metrics_store.hpp"
#include "media/actor_access.hpp"
#include "media/background_release.hpp"
#include "media/capture_sources.hpp"
#include "media/media_envelope.hpp"
#include "media/screen_capture_service.hpp"
#include "media/video_encoder_service.hpp"
#include "media/video_stream_server.hpp"
#include "h264_probe.hpp"
#include "media_bench_screen.hpp"
#include "media_bench_streamed_display.hpp"
#include "run_benchmarks.hpp"
#include "platform/h264/x264_encoder.hpp"
#include "platform/memory/allocator.hpp"
#include "platform/crypto/signing_key.hpp"
#include "support/local_test_client.hpp"
#include "support/run_blocking.hpp"
#include "transport/veltrano_identity.hpp"

extern char** environ;

namespace {

using namespace veltrano;
using namespace std::chrono_literals;
using SteadyClock = std::chrono::steady_clock;
using testing::runBlocking;
namespace fs = std::filesystem;

constexpr int kCpuRunSeconds = 15;
constexpr int kLatencyDraws = 1000;
constexpr int kLatencyFps = 60;
constexpr std::uint64_t kMemoryFrames = 10000;
constexpr std::uint64_t kMemorySampleEvery = 100;  // frames
constexpr std::uint64_t kCycleFrames = 120;
constexpr int kCaptureCycles = 20;

// The latency mark: a square painted in turn in these colours; the decoded picture is read at its centre.
constexpr int kMarkX = 200;
constexpr int kMarkY = 200;
constexpr int kMarkSize = 300;
constexpr int kProbeSize = 16;
constexpr std::array<std::uint32_t, 4> kMarkColours{0xE02020, 0x20C040, 0x2040E0, 0xF0F0F0};

using MainThread = bench::BenchMainThread;
using bench::CountingVideoSink;
using bench::DisplayPipeline;
using bench::StreamedDisplay;

// --- Child processes ---

std::uint64_t residentKiB() { return platform::residentBytes() / 1024; }

std::uint64_t peakResidentKiB() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmHWM:", 0) == 0) return std::stoull(line.substr(6));
  }
  return 0;
}

// --cpu DISPLAY MONITOR SECONDS FPS: captures and encodes for SECONDS, prints "frames N".
int runCpuChild(const std::string& display, std::uint32_t monitorID, int seconds, int fps) {
  setLogSink(nullptr);
  MainThread mainThread;
  auto sink = std::make_shared<CountingVideoSink>();
  std::int64_t grabs = 0;
  {
    DisplayPipeline pipeline(display, monitorID, fps, sink, nullptr);
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    grabs = pipeline.capturedFrames();
  }
  std::printf("frames %llu\ngrabs %lld\n", static_cast<unsigned long long>(sink->frames.load()),
              static_cast<long long>(grabs));
  std::fflush(stdout);
  // The measurement is complete; the shared I/O threads may still post to the main thread, so do not unwind it.
  std::_Exit(0);
}

// --memory DISPLAY MONITOR FRAMES FPS: streams to a local client until it received FRAMES frames; prints
// "rss FRAMES KIB" every kMemorySampleEvery frames, then "hwm KIB".
int runMemoryChild(const std::string& display, std::uint32_t monitorID, std::uint64_t frames, int fps) {
  setLogSink(nullptr);
  MainThread mainThread;
  std::vector<std::pair<std::uint64_t, std::uint64_t>> samples;
  {
    StreamedDisplay streamed(display, monitorID, fps);
    std::uint64_t received = 0;
    while (received < frames) {
      auto record = streamed.client().nextRecordBlocking(5s);
      if (!record) throw std::runtime_error("no frame for 5 s");
      auto envelope = parseMediaEnvelope(*record);
      if (!envelope || envelope->type != MediaEnvelopeType::videoFrame) continue;
      if (++received % kMemorySampleEvery == 0) samples.emplace_back(received, residentKiB());
    }
  }
  for (const auto& [at, kib] : samples) std::printf("rss %llu %llu\n", static_cast<unsigned long long>(at),
                                                     static_cast<unsigned long long>(kib));
  std::printf("hwm %llu\n", static_cast<unsigned long long>(peakResidentKiB()));
  std::fflush(stdout);
  std::_Exit(0);
}

// --cycles DISPLAY MONITOR CYCLES FPS: one video server and one local client; CYCLES times capture and encoding
// start, stream kCycleFrames frames to the client and stop. Prints "rss CYCLE KIB" after each stop has ended
// (the encoder and the capture stream are released on the background release thread).
int runCyclesChild(const std::string& display, std::uint32_t monitorID, int cycles, int fps) {
  setLogSink(nullptr);
  MainThread mainThread;
  const auto key = platform::SigningKey::generate();
  MediaServerDependencies dependencies;
  dependencies.identityProvider = [key] { return VeltranoIdentity(key); };
  auto metrics = std::make_shared<MetricsStore>();
  auto server = VideoStreamServer::create(0, metrics, dependencies);
  testing::runBlocking(server->start());
  auto client = testing::LocalTestClient::connectBlocking(server->listeningPort(), LocalTransportChannel::video, key);
  for (int cycle = 1; cycle <= cycles; ++cycle) {
    {
      DisplayPipeline pipeline(display, monitorID, fps, server, server);
      std::uint64_t received = 0;
      while (received < kCycleFrames) {
        auto record = client->nextRecordBlocking(5s);
        if (!record) throw std::runtime_error("no frame for 5 s");
        auto envelope = parseMediaEnvelope(*record);
        if (envelope && envelope->type == MediaEnvelopeType::videoFrame) ++received;
      }
    }
    while (client->nextRecordBlocking(200ms)) {
    }
    std::promise<void> released;
    boost::asio::post(backgroundReleaseExecutor(), [&released] { released.set_value(); });
    released.get_future().wait();
    std::printf("rss %d %llu\n", cycle, static_cast<unsigned long long>(residentKiB()));
    std::fflush(stdout);
  }
  std::_Exit(0);
}

struct ChildOutcome {
  std::string output;
  double cpuSeconds = 0;
};

// Runs a program to its end with its standard output in a pipe; its CPU time (user + system, all threads) from
// wait4. Kills it after `timeout`.
ChildOutcome runChild(std::vector<std::string> arguments, std::chrono::seconds timeout) {
  int pipe[2];
  if (::pipe2(pipe, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, pipe[1], STDOUT_FILENO);
  std::vector<char*> argv;
  for (auto& argument : arguments) argv.push_back(argument.data());
  argv.push_back(nullptr);
  pid_t pid = -1;
  const int spawned = ::posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  ::close(pipe[1]);
  if (spawned != 0) {
    ::close(pipe[0]);
    throw std::runtime_error(arguments[0] + ": " + std::strerror(spawned));
  }
  ChildOutcome outcome;
  const auto deadline = SteadyClock::now() + timeout;
  char buffer[4096];
  for (;;) {
    pollfd readable{pipe[0], POLLIN, 0};
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - SteadyClock::now());
    if (left.count() <= 0) {
      ::kill(pid, SIGKILL);
      break;
    }
    if (::poll(&readable, 1, static_cast<int>(left.count())) <= 0) continue;
    const ssize_t n = ::read(pipe[0], buffer, sizeof buffer);
    if (n <= 0) break;
    outcome.output.append(buffer, static_cast<std::size_t>(n));
  }
  ::close(pipe[0]);
  int status = 0;
  rusage usage{};
  ::wait4(pid, &status, 0, &usage);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) throw std::runtime_error(arguments[0] + " failed");
  auto seconds = [](const timeval& t) { return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6; };
  outcome.cpuSeconds = seconds(usage.ru_utime) + seconds(usage.ru_stime);
  return outcome;
}

// The value after the last "key" (followed by '=' or ' ') in the output; nullopt when absent.
std::optional<std::uint64_t> lastValue(const std::string& output, const std::string& key) {
  std::optional<std::uint64_t> value;
  std::istringstream lines(output);
  std::string line;
  while (std::getline(lines, line)) {
    if (line.size() > key.size() && line.rfind(key, 0) == 0 && (line[key.size()] == '=' || line[key.size()] == ' ')) {
      value = std::stoull(line.substr(key.size() + 1));
    }
  }
  return value;
}

// --- Parent ---

bench::BenchScreen& screen() {
  static bench::BenchScreen instance;
  return instance;
}

std::string self() { return fs::read_symlink("/proc/self/exe").string(); }

// Short runs for a quick look: VELTRANO_BENCH_SECONDS per CPU run (15), VELTRANO_BENCH_ROUNDS (3).
int fromEnvironment(const char* name, int fallback) {
  const char* value = std::getenv(name);
  return value && std::atoi(value) > 0 ? std::atoi(value) : fallback;
}

// The x264 threads our encoder starts (X264Encoder: one per usable CPU, at most four); ffmpeg gets as many.
unsigned x264Threads() { return std::min(usableCpuCount(), 4u); }

// libx264 as ffmpeg drives it with exactly our encoder's settings (X264Encoder): veryfast with zero latency, then
// a diamond motion search, one step of sub-pixel refinement, no weighted prediction, only the intra partitions in P
// frames, constant frame rate; the same threads, I420, an average bit rate with the VBV limits X264Encoder derives
// from it (1.5 times the rate), the same keyframe interval and profile.
std::vector<std::string> ffmpegX264Options(int fps) {
  const int kbps = platform::H264EncoderSettings{}.bitRate / 1000;
  return {"-c:v", "libx264", "-preset", "veryfast", "-tune", "zerolatency", "-x264-params",
          "me=dia:subme=1:weightp=0:partitions=i4x4,i8x8:force-cfr=1", "-threads", std::to_string(x264Threads()),
          "-pix_fmt", "yuv420p", "-b:v", std::to_string(kbps) + "k", "-maxrate", std::to_string(kbps * 3 / 2) + "k",
          "-bufsize", std::to_string(kbps * 3 / 2) + "k", "-g", std::to_string(2 * fps), "-profile:v", "high"};
}

double percentile(std::vector<double> values, double fraction) {
  std::sort(values.begin(), values.end());
  return values[std::min(values.size() - 1, static_cast<std::size_t>(fraction * static_cast<double>(values.size())))];
}

// CPU milliseconds per encoded frame of our capture and encoder, in a process of their own.
double oursCpuPerFrame(int fps, int seconds) {
  const auto outcome = runChild({self(), "--cpu", screen().displayName(), std::to_string(screen().monitorID()),
                                 std::to_string(seconds), std::to_string(fps)},
                                std::chrono::seconds(seconds + 60));
  const auto frames = lastValue(outcome.output, "frames").value_or(0);
  if (frames == 0) throw std::runtime_error("no frame was encoded");
  return 1000 * outcome.cpuSeconds / static_cast<double>(frames);
}

// The same for ffmpeg grabbing the same screen and encoding with libx264 set up as ours.
double ffmpegCpuPerFrame(int fps, int seconds) {
  std::vector<std::string> command{"ffmpeg", "-nostdin", "-hide_banner", "-loglevel", "fatal", "-f", "x11grab",
                                   "-video_size", "1920x1080", "-framerate", std::to_string(fps), "-i",
                                   screen().displayName(), "-t", std::to_string(seconds)};
  for (auto& option : ffmpegX264Options(fps)) command.push_back(std::move(option));
  for (const char* option : {"-progress", "pipe:1", "-f", "null", "-"}) command.emplace_back(option);
  const auto outcome = runChild(std::move(command), std::chrono::seconds(seconds + 60));
  const auto frames = lastValue(outcome.output, "frame").value_or(0);
  if (frames == 0) throw std::runtime_error("ffmpeg encoded no frame");
  return 1000 * outcome.cpuSeconds / static_cast<double>(frames);
}

// Ours and ffmpeg in turn, round after round on the same animated screen; medians.
void BM_CaptureEncodeCpuAgainstFfmpeg(benchmark::State& state) {
  const int fps = static_cast<int>(state.range(0));
  const int seconds = fromEnvironment("VELTRANO_BENCH_SECONDS", kCpuRunSeconds);
  const int rounds = fromEnvironment("VELTRANO_BENCH_ROUNDS", 3);
  std::vector<double> ours;
  std::vector<double> ffmpeg;
  for (auto _ : state) {
    screen().startAnimation();
    try {
      for (int round = 0; round < rounds; ++round) {
        ours.push_back(oursCpuPerFrame(fps, seconds));
        ffmpeg.push_back(ffmpegCpuPerFrame(fps, seconds));
      }
    } catch (const std::exception& error) {
      screen().stopAnimation();
      return state.SkipWithError(error.what());
    }
    screen().stopAnimation();
  }
  const double oursMedian = percentile(ours, 0.5);
  state.counters["x264_threads"] = x264Threads();
  state.counters["rounds"] = rounds;
  state.counters["ours_ms_per_frame"] = oursMedian;
  state.counters["ffmpeg_ms_per_frame"] = percentile(ffmpeg, 0.5);
  state.counters["ours_vs_ffmpeg"] = oursMedian / percentile(ffmpeg, 0.5);
}

// --- Latency ---

struct ReceivedFrame {
  SteadyClock::time_point at;
  VideoFramePayload frame;
};

struct Draw {
  SteadyClock::time_point at;
  std::uint32_t colour;
};

using bench::appendAccessUnit;
using bench::appendAnnexB;
using bench::parameterSetsInAnnexB;

std::vector<std::uint32_t> probeColours(const std::vector<std::uint8_t>& annexB) {
  return bench::probeColours(annexB, kMarkX + kMarkSize / 2 - kProbeSize / 2, kMarkY + kMarkSize / 2 - kProbeSize / 2,
                             kProbeSize);
}

bool near(std::uint32_t a, std::uint32_t b) { return bench::nearColour(a, b); }

void BM_DrawToSocketLatency(benchmark::State& state) {
  static MainThread mainThread;  // lives as long as the shared I/O threads that post to it
  auto silenced = setLogSink(nullptr);
  std::vector<double> latencies;
  std::vector<double> untilGrabbed;  // draw to the grab that saw it (the grab's time is the frame's)
  std::vector<double> afterGrab;     // grab to the client: I420 conversion, encode, seal, loopback, open
  int missed = 0;
  int staleFirst = 0;
  for (auto _ : state) {
    StreamedDisplay streamed(screen().displayName(), screen().monitorID(), kLatencyFps);
    Bytes record;
    std::vector<ReceivedFrame> frames;
    std::vector<Draw> draws;
    auto receive = [&](std::chrono::milliseconds timeout) {
      auto got = streamed.client().nextRecordBlocking(timeout);
      if (!got) return;
      const auto at = SteadyClock::now();
      auto envelope = parseMediaEnvelope(*got);
      if (!envelope) throw std::runtime_error("a record that is not one media envelope");
      if (envelope->type == MediaEnvelopeType::videoConfiguration) {
        auto configuration = parseVideoConfigurationPayload(envelope->payload);
        if (!configuration) throw std::runtime_error("unreadable configuration");
        record = configuration->decoderConfigurationRecord;
      } else if (auto frame = parseVideoFramePayload(envelope->payload)) {
        frames.push_back({at, std::move(*frame)});
      }
    };
    std::mt19937 random(6);
    std::uniform_int_distribution<int> pause(30, 50);  // ms between draws: any phase against the 60 Hz grab
    auto nextDraw = SteadyClock::now() + 500ms;
    for (int i = 0; i < kLatencyDraws; ++i) {
      for (auto now = SteadyClock::now(); now < nextDraw; now = SteadyClock::now()) {
        receive(std::chrono::duration_cast<std::chrono::milliseconds>(nextDraw - now) + 1ms);
      }
      const std::uint32_t colour = kMarkColours[static_cast<std::size_t>(i) % kMarkColours.size()];
      const auto drawn = screen().paint(kMarkX, kMarkY, kMarkSize, kMarkSize, colour);
      draws.push_back({drawn, colour});
      nextDraw = drawn + std::chrono::milliseconds(pause(random));
    }
    for (auto until = SteadyClock::now() + 300ms; SteadyClock::now() < until;) receive(50ms);
    if (record.empty() || frames.empty() || !frames.front().frame.keyframe) {
      return state.SkipWithError("no configuration and keyframe first");
    }

    std::vector<std::uint8_t> stream;
    const auto sets = parameterSetsInAnnexB(record);
    for (const auto& received : frames) {
      if (received.frame.keyframe) stream.insert(stream.end(), sets.begin(), sets.end());
      appendAccessUnit(stream, received.frame.accessUnit);
    }
    const auto colours = probeColours(stream);
    if (colours.size() != frames.size()) return state.SkipWithError("ffmpeg decoded a different number of frames");
    std::size_t next = 0;
    for (const auto& draw : draws) {
      while (next < frames.size() && frames[next].at <= draw.at) ++next;
      std::size_t match = next;
      while (match < frames.size() && frames[match].at < draw.at + 500ms && !near(colours[match], draw.colour)) {
        ++match;
      }
      if (match == frames.size() || frames[match].at >= draw.at + 500ms) {
        ++missed;
        continue;
      }
      if (match != next) ++staleFirst;
      latencies.push_back(std::chrono::duration<double, std::milli>(frames[match].at - draw.at).count());
      const auto grabbed = SteadyClock::time_point(std::chrono::microseconds(frames[match].frame.presentationTimeMicros));
      untilGrabbed.push_back(std::chrono::duration<double, std::milli>(grabbed - draw.at).count());
      afterGrab.push_back(std::chrono::duration<double, std::milli>(frames[match].at - grabbed).count());
    }
  }
  setLogSink(silenced);
  if (latencies.empty()) return state.SkipWithError("no draw was seen");
  state.counters["draws"] = kLatencyDraws;
  state.counters["missed"] = missed;
  state.counters["stale_first_frames"] = staleFirst;
  state.counters["p50_ms"] = percentile(latencies, 0.50);
  state.counters["p99_ms"] = percentile(latencies, 0.99);
  state.counters["max_ms"] = percentile(latencies, 1.0);
  state.counters["grab_p50_ms"] = percentile(untilGrabbed, 0.50);
  state.counters["after_grab_p50_ms"] = percentile(afterGrab, 0.50);
  state.counters["after_grab_p99_ms"] = percentile(afterGrab, 0.99);
}

// --- Picture quality at the same bit rate ---

constexpr int kQualitySeconds = 4;

// Runs a shell command; its standard output and error.
std::string shellOutput(const std::string& command) {
  std::FILE* pipe = ::popen((command + " 2>&1").c_str(), "r");
  if (!pipe) throw std::runtime_error("popen failed");
  std::string output;
  char buffer[4096];
  while (const std::size_t n = std::fread(buffer, 1, sizeof buffer, pipe)) output.append(buffer, n);
  if (::pclose(pipe) != 0) throw std::runtime_error("failed: " + command + "\n" + output);
  return output;
}

// The number after the last `key` in ffmpeg's log ("All:" of ssim, "average:" of psnr).
double lastNumberAfter(const std::string& output, const std::string& key) {
  const auto at = output.rfind(key);
  if (at == std::string::npos) throw std::runtime_error("no " + key + " in ffmpeg's output");
  return std::stod(output.substr(at + key.size()));
}

std::string rawInput(const std::string& path, int fps) {
  return "-f rawvideo -pix_fmt yuv420p -video_size 1920x1080 -framerate " + std::to_string(fps) + " -i " + path;
}

// Writes every frame the capture stream delivers to `path` (I420 pictures one after another) on a thread of its own,
// so that the capture thread only queues, and keeps each frame's capture time.
class FrameRecorder {
 public:
  explicit FrameRecorder(const std::string& path) : out_(path, std::ios::binary), writer_([this] { write(); }) {}
  ~FrameRecorder() { finish(); }
  FrameRecorder(const FrameRecorder&) = delete;
  FrameRecorder& operator=(const FrameRecorder&) = delete;

  void record(std::shared_ptr<const platform::CapturedFrame> frame) {
    {
      std::lock_guard lock(mutex_);
      queue_.push_back(std::move(frame));
    }
    wake_.notify_one();
  }
  // Writes what is queued and returns the capture times of every recorded picture, in file order.
  std::vector<std::int64_t> finish() {
    {
      std::lock_guard lock(mutex_);
      done_ = true;
    }
    wake_.notify_one();
    if (writer_.joinable()) writer_.join();
    return times_;
  }

 private:
  void write() {
    for (;;) {
      std::shared_ptr<const platform::CapturedFrame> frame;
      {
        std::unique_lock lock(mutex_);
        wake_.wait(lock, [&] { return done_ || !queue_.empty(); });
        if (queue_.empty()) return;
        frame = std::move(queue_.front());
        queue_.pop_front();
      }
      const auto bytes = platform::CapturedFrame::byteCount(frame->width, frame->height);
      out_.write(reinterpret_cast<const char*>(frame->planes.data()), static_cast<std::streamsize>(bytes));
      times_.push_back(std::chrono::duration_cast<std::chrono::microseconds>(frame->timestamp.time_since_epoch()).count());
    }
  }

  std::ofstream out_;
  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<std::shared_ptr<const platform::CapturedFrame>> queue_;
  bool done_ = false;
  std::vector<std::int64_t> times_;  // writer thread until joined
  std::thread writer_;
};

// The system's capture sources, with every delivered frame also handed to a recorder.
class RecordedCaptureSources final : public CaptureSources {
 public:
  explicit RecordedCaptureSources(FrameRecorder& recorder) : recorder_(recorder) {}
  std::optional<std::vector<platform::X11Monitor>> displays(const std::string& xDisplayName) override {
    return system_->displays(xDisplayName);
  }
  std::shared_ptr<VideoSource> startVideo(const platform::CaptureStreamSettings& settings,
                                          VideoSource::FrameHandler onFrame, VideoSource::StopHandler onStop) override {
    return system_->startVideo(
        settings,
        [this, onFrame = std::move(onFrame)](std::shared_ptr<const platform::CapturedFrame> frame) {
          recorder_.record(frame);
          onFrame(std::move(frame));
        },
        std::move(onStop));
  }
  std::shared_ptr<SoundSource> startSound(const platform::AudioCaptureSettings& settings,
                                          SoundSource::PacketHandler onPacket, SoundSource::StopHandler onStop) override {
    return system_->startSound(settings, std::move(onPacket), std::move(onStop));
  }

 private:
  FrameRecorder& recorder_;
  const std::shared_ptr<CaptureSources> system_ = systemCaptureSources();
};

// The encoder's output as an Annex B stream (parameter sets before each keyframe) and each frame's presentation time.
class RecordingVideoSink final : public EncodedVideoFrameSink {
 public:
  void submitEncodedFrame(EncodedVideoFrame frame) override {
    std::lock_guard lock(mutex_);
    if (frame.parameterSets) {
      for (const auto& set : frame.parameterSets->sps) appendAnnexB(stream_, ByteView(set.data(), set.size()));
      for (const auto& set : frame.parameterSets->pps) appendAnnexB(stream_, ByteView(set.data(), set.size()));
    }
    appendAccessUnit(stream_, frame.accessUnit);
    times_.push_back(static_cast<std::int64_t>(frame.presentationTimeMicros));
  }
  bool hasViewers() const override { return true; }
  std::pair<std::vector<std::uint8_t>, std::vector<std::int64_t>> take() {
    std::lock_guard lock(mutex_);
    return {std::move(stream_), std::move(times_)};
  }

 private:
  std::mutex mutex_;
  std::vector<std::uint8_t> stream_;
  std::vector<std::int64_t> times_;
};

// --quality DISPLAY MONITOR SECONDS FPS DIR: the capture service and the encoder as the host wires them, for SECONDS;
// writes DIR/ours.h264 (what the encoder produced) and DIR/reference.yuv (for each encoded frame, the grab it was
// made from: the latest grab at or before its presentation time, which also covers a heartbeat's re-send).
// Prints "frames N".
int runQualityChild(const std::string& display, std::uint32_t monitorID, int seconds, int fps, const std::string& dir) {
  setLogSink(nullptr);
  MainThread mainThread;
  auto sink = std::make_shared<RecordingVideoSink>();
  const std::string grabs = dir + "/grabs.yuv";
  FrameRecorder recorder(grabs);
  {
    DisplayPipeline pipeline(display, monitorID, fps, sink, nullptr,
                             std::make_shared<RecordedCaptureSources>(recorder));
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
  }
  const std::vector<std::int64_t> grabbed = recorder.finish();
  auto [stream, encoded] = sink->take();
  std::ofstream(dir + "/ours.h264", std::ios::binary)
      .write(reinterpret_cast<const char*>(stream.data()), static_cast<std::streamsize>(stream.size()));
  const std::size_t pictureBytes = platform::CapturedFrame::byteCount(bench::BenchScreen::kWidth, bench::BenchScreen::kHeight);
  std::ifstream in(grabs, std::ios::binary);
  std::ofstream reference(dir + "/reference.yuv", std::ios::binary);
  std::vector<char> picture(pictureBytes);
  for (const std::int64_t pts : encoded) {
    const auto after = std::upper_bound(grabbed.begin(), grabbed.end(), pts);
    if (after == grabbed.begin()) throw std::runtime_error("an encoded frame older than every grab");
    in.seekg(static_cast<std::streamoff>(std::distance(grabbed.begin(), after) - 1) * static_cast<std::streamoff>(pictureBytes));
    if (!in.read(picture.data(), static_cast<std::streamsize>(pictureBytes))) throw std::runtime_error("short grab file");
    reference.write(picture.data(), static_cast<std::streamsize>(pictureBytes));
  }
  fs::remove(grabs);
  std::printf("frames %zu\n", encoded.size());
  std::fflush(stdout);
  std::_Exit(0);
}

// Picture quality of the live pipeline: our capture service and encoder run on the animated screen while every grab
// is recorded; the frames they encoded are compared with the grabs they were made from, and ffmpeg's libx264 with
// the same settings (ffmpegX264Options) encodes that same sequence of grabs for comparison. SSIM, PSNR and the bit
// rate reached, for both.
void BM_EncodedQuality(benchmark::State& state) {
  const int fps = static_cast<int>(state.range(0));
  char dir[] = "/tmp/veltrano-quality-XXXXXX";
  if (!::mkdtemp(dir)) return state.SkipWithError("mkdtemp failed");
  const std::string reference = std::string(dir) + "/reference.yuv";
  try {
    for (auto _ : state) {
      screen().startAnimation();
      const auto outcome = runChild({self(), "--quality", screen().displayName(), std::to_string(screen().monitorID()),
                                     std::to_string(kQualitySeconds), std::to_string(fps), dir},
                                    std::chrono::seconds(kQualitySeconds + 120));
      screen().stopAnimation();
      const double frames = static_cast<double>(lastValue(outcome.output, "frames").value_or(0));
      if (frames == 0) throw std::runtime_error("no frame was encoded");
      const std::vector<std::pair<std::string, std::string>> streams{{"ours", std::string(dir) + "/ours.h264"},
                                                                     {"ffmpeg", std::string(dir) + "/ffmpeg.h264"}};
      std::string command = "ffmpeg -nostdin -v error -y " + rawInput(reference, fps);
      for (const auto& option : ffmpegX264Options(fps)) command += " " + option;
      shellOutput(command + " -f h264 " + streams[1].second);
      for (const auto& [name, path] : streams) {
        // Decoded picture n against reference picture n: the raw stream carries no times of its own.
        const std::string pair = "[0:v]settb=1/" + std::to_string(fps) + ",setpts=N[a];[1:v]settb=1/" +
                                 std::to_string(fps) + ",setpts=N[b];[a][b]";
        const std::string compare = "ffmpeg -nostdin -hide_banner -f h264 -i " + path + " " +
                                    rawInput(reference, fps) + " -lavfi \"" + pair;
        state.counters[name + "_ssim"] = lastNumberAfter(shellOutput(compare + "ssim=shortest=1\" -f null -"), "All:");
        state.counters[name + "_psnr_dB"] =
            lastNumberAfter(shellOutput(compare + "psnr=shortest=1\" -f null -"), "average:");
        state.counters[name + "_kbps"] = static_cast<double>(fs::file_size(path)) * 8 * fps / frames / 1000;
      }
      state.counters["frames"] = frames;
    }
  } catch (const std::exception& error) {
    screen().stopAnimation();
    state.SkipWithError(error.what());
  }
  fs::remove_all(dir);
}

// --- Memory ---

// The MiB values of the child's "rss KEY KIB" lines, in order.
std::vector<double> rssSamplesMiB(const std::string& output) {
  std::vector<double> mib;
  std::istringstream lines(output);
  std::string word;
  while (lines >> word) {
    if (word != "rss") continue;
    unsigned long long key = 0;
    unsigned long long kib = 0;
    lines >> key >> kib;
    mib.push_back(static_cast<double>(kib) / 1024);
  }
  return mib;
}

void BM_SteadyMemory(benchmark::State& state) {
  ChildOutcome outcome;
  for (auto _ : state) {
    screen().startAnimation();
    outcome = runChild({self(), "--memory", screen().displayName(), std::to_string(screen().monitorID()),
                        std::to_string(kMemoryFrames), std::to_string(kLatencyFps)},
                       std::chrono::seconds(480));
    screen().stopAnimation();
  }
  const std::vector<double> mib = rssSamplesMiB(outcome.output);
  if (mib.size() < 10) return state.SkipWithError("too few samples");
  // After the first 500 frames (sessions, buffers and pools in place).
  const std::size_t warm = std::min<std::size_t>(4, mib.size() - 1);
  const std::size_t half = mib.size() / 2;
  state.counters["frames"] = static_cast<double>(kMemoryFrames);
  state.counters["start_MiB"] = mib[warm];
  state.counters["peak_MiB"] = *std::max_element(mib.begin() + static_cast<std::ptrdiff_t>(warm), mib.end());
  state.counters["end_MiB"] = mib.back();
  state.counters["mid_MiB"] = mib[half];
  state.counters["hwm_MiB"] = static_cast<double>(lastValue(outcome.output, "hwm").value_or(0)) / 1024;
}

// The host's figure: RSS after the 20th capture stop against after the first.
void BM_CaptureCycleMemory(benchmark::State& state) {
  ChildOutcome outcome;
  for (auto _ : state) {
    screen().startAnimation();
    outcome = runChild({self(), "--cycles", screen().displayName(), std::to_string(screen().monitorID()),
                        std::to_string(kCaptureCycles), std::to_string(kLatencyFps)},
                       std::chrono::seconds(300));
    screen().stopAnimation();
  }
  const std::vector<double> mib = rssSamplesMiB(outcome.output);
  if (mib.size() != static_cast<std::size_t>(kCaptureCycles)) return state.SkipWithError("cycles missing");
  state.counters["after_first_MiB"] = mib.front();
  state.counters["after_last_MiB"] = mib.back();
  state.counters["peak_MiB"] = *std::max_element(mib.begin(), mib.end());
  state.counters["growth_MiB"] = mib.back() - mib.front();
}

BENCHMARK(BM_CaptureEncodeCpuAgainstFfmpeg)->Arg(30)->Arg(60)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();
BENCHMARK(BM_EncodedQuality)->Arg(30)->Arg(60)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();
BENCHMARK(BM_DrawToSocketLatency)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();
BENCHMARK(BM_SteadyMemory)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();
BENCHMARK(BM_CaptureCycleMemory)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
  // As the host program does.
  veltrano::platform::returnLargeBlocksToSystem();
  veltrano::ThreadPools pools;
  const std::string mode = argc > 1 ? argv[1] : "";
  try {
    if (mode == "--cpu" && argc == 6) {
      return runCpuChild(argv[2], static_cast<std::uint32_t>(std::stoul(argv[3])), std::stoi(argv[4]),
                         std::stoi(argv[5]));
    }
    if (mode == "--cycles" && argc == 6) {
      return runCyclesChild(argv[2], static_cast<std::uint32_t>(std::stoul(argv[3])), std::stoi(argv[4]),
                            std::stoi(argv[5]));
    }
    if (mode == "--quality" && argc == 7) {
      return runQualityChild(argv[2], static_cast<std::uint32_t>(std::stoul(argv[3])), std::stoi(argv[4]),
                             std::stoi(argv[5]), argv[6]);
    }
    if (mode == "--memory" && argc == 6) {
      return runMemoryChild(argv[2], static_cast<std::uint32_t>(std::stoul(argv[3])), std::stoull(argv[4]),
                            std::stoi(argv[5]));
    }
  } catch (const std::exception& error) {
    std::fprintf(stderr, "%s: %s\n", mode.c_str(), error.what());
    return 1;
  }
  return veltrano::bench::runBenchmarks(argc, argv);
}
