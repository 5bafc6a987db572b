// The input command handler against a private Xvfb, with a full-screen window on its own connection that
// timestamps the input events the server delivers to it (on a thread of its own).
//
// BM_MoveLatency: the same absolute pointer move, alternately handed to InputCommandHandler::handle() as a
// "mouseMove" line and posted straight through an EventSource of its own, both started from the same I/O strand
// (where the control server calls handle()). Each sample runs from just before the call on the strand to the
// MotionNotify with the move's coordinates reaching the window; every move goes to a coordinate the pointer is
// not at, so each one produces exactly one MotionNotify that can be told apart. Reports p50 and p99 of both
// paths and of the per-pair difference, which is what the handler adds (main-thread hop, parse, checks, log).
//
// BM_HandlerThroughput: lines per second through handle() with the main loop running: "in order" hands one
// client's lines one after the other, each after the previous reply (as the control server does); "in flight"
// hands them all at once from four strands. BM_DirectThroughput posts the same events straight through
// XTest. Every batch ends with a pointer move to a fresh coordinate through the same path, and the clock stops
// when its MotionNotify arrives: the X server has then processed every event of the batch.
#include <benchmark/benchmark.h>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/use_future.hpp>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>
#include <xcb/xcb.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "bench_main_thread.hpp"
#include "base/executors.hpp"
#include "base/json.hpp"
#include "control/input_command_handler.hpp"
#include "control/input_controller.hpp"
#include "core/log_sink.hpp"
#include "core/metrics_store.hpp"
#include "platform/events/event_source.hpp"
#include "support/private_xvfb.hpp"
#include "support/x11_event_window.hpp"

namespace {

using namespace veltrano;
using SteadyClock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr int kLatencyPairs = 20000;
constexpr int kWarmUpPairs = 200;
constexpr int kLinesPerBatch = 2000;
constexpr int kInFlightStrands = 4;

using MainThread = bench::BenchMainThread;

struct Coordinate {
  int x = 0;
  int y = 0;
};

// Every move of the whole run gets a coordinate of its own, so that consecutive moves always differ.
Coordinate nextCoordinate() {
  static std::uint64_t next = 0;
  const std::uint64_t n = next++;
  return {16 + static_cast<int>(n % 1200), 16 + static_cast<int>((n / 1200) % 960)};
}

std::string mouseMoveLine(Coordinate c) {
  return R"({"type":"mouseMove","x":)" + std::to_string(c.x) + R"(,"y":)" + std::to_string(c.y) + "}";
}

// Records when the MotionNotify at an expected coordinate reaches the window.
class ArrivalRecorder {
 public:
  explicit ArrivalRecorder(std::unique_ptr<test::X11EventWindow> window)
      : window_(std::move(window)), wake_(::eventfd(0, EFD_CLOEXEC)), thread_([this] { run(); }) {}
  ~ArrivalRecorder() {
    stopping_ = true;
    const std::uint64_t one = 1;
    (void)!::write(wake_, &one, sizeof one);
    thread_.join();
    ::close(wake_);
  }

  // Call before the move is posted.
  void expect(Coordinate c) {
    std::lock_guard lock(mutex_);
    expected_ = c;
    arrival_.reset();
  }

  std::optional<SteadyClock::time_point> waitForArrival(std::chrono::milliseconds timeout = 2s) {
    std::unique_lock lock(mutex_);
    arrived_.wait_for(lock, timeout, [&] { return arrival_.has_value(); });
    return arrival_;
  }

 private:
  void run() {
    xcb_connection_t* c = window_->connection();
    pollfd fds[2] = {{xcb_get_file_descriptor(c), POLLIN, 0}, {wake_, POLLIN, 0}};
    while (!stopping_ && xcb_connection_has_error(c) == 0) {
      ::poll(fds, 2, 1000);
      const SteadyClock::time_point now = SteadyClock::now();
      while (xcb_generic_event_t* event = xcb_poll_for_event(c)) {
        if ((event->response_type & 0x7f) == XCB_MOTION_NOTIFY) {
          const auto* motion = reinterpret_cast<const xcb_motion_notify_event_t*>(event);
          std::lock_guard lock(mutex_);
          if (!arrival_ && motion->root_x == expected_.x && motion->root_y == expected_.y) {
            arrival_ = now;
            arrived_.notify_all();
          }
        }
        std::free(event);
      }
    }
  }

  std::unique_ptr<test::X11EventWindow> window_;
  int wake_;
  std::atomic<bool> stopping_{false};
  std::mutex mutex_;
  std::condition_variable arrived_;
  Coordinate expected_{-1, -1};
  std::optional<SteadyClock::time_point> arrival_;
  std::thread thread_;
};

// The X server, the main thread, the handler as the host makes it, and a second event source for the direct path.
struct Environment {
  test::PrivateXvfb xvfb;
  std::unique_ptr<MainThread> mainThread;
  std::unique_ptr<ArrivalRecorder> recorder;
  std::shared_ptr<InputController> input;
  std::shared_ptr<InputCommandHandler> handler;
  std::unique_ptr<platform::EventSource> direct;  // used on `strand` only
  std::optional<Strand> strand;

  bool start() {
    if (!xvfb.start("1280x1024x24")) {
      std::fprintf(stderr, "cannot start Xvfb\n");
      return false;
    }
    // The permission probe and the recording window use $DISPLAY.
    ::setenv("DISPLAY", xvfb.displayName().c_str(), 1);
    auto window = test::X11EventWindow::open();
    direct = platform::EventSource::create(xvfb.displayName().c_str());
    if (!window || !direct) {
      std::fprintf(stderr, "cannot open the recording window or the event source on %s\n",
                   xvfb.displayName().c_str());
      return false;
    }
    recorder = std::make_unique<ArrivalRecorder>(std::move(window));
    mainThread = std::make_unique<MainThread>();
    input = InputController::create();  // the host's own: $DISPLAY and the XTEST permission probe
    handler = InputCommandHandler::create(input, std::make_shared<MetricsStore>());
    strand = makeActorStrand();
    return true;
  }

  void stop() {
    strand.reset();
    direct.reset();
    handler.reset();
    input.reset();
    mainThread.reset();  // runs what the last references posted, then joins
    recorder.reset();
    xvfb.stop();
  }
};

Environment* gEnvironment = nullptr;

struct Percentiles {
  double p50 = 0;
  double p99 = 0;
};

Percentiles percentiles(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  auto at = [&](double fraction) {
    return values[std::min(values.size() - 1, static_cast<std::size_t>(fraction * values.size()))];
  };
  return {at(0.50), at(0.99)};
}

double microseconds(SteadyClock::duration d) { return std::chrono::duration<double, std::micro>(d).count(); }

// --- latency ---

// Microseconds from the call on the strand to the arrival; nullopt when the move never arrived.
std::optional<double> moveThroughHandler(Environment& env, Coordinate c) {
  const std::string line = mouseMoveLine(c);
  env.recorder->expect(c);
  auto started = asio::co_spawn(
      *env.strand,
      [handler = env.handler, line]() -> asio::awaitable<SteadyClock::time_point> {
        const SteadyClock::time_point start = SteadyClock::now();
        co_await handler->handle(line);
        co_return start;
      },
      asio::use_future);
  const std::optional<SteadyClock::time_point> arrival = env.recorder->waitForArrival();
  const SteadyClock::time_point start = started.get();
  if (!arrival) return std::nullopt;
  return microseconds(*arrival - start);
}

std::optional<double> moveDirectly(Environment& env, Coordinate c) {
  env.recorder->expect(c);
  auto started = asio::co_spawn(
      *env.strand,
      [source = env.direct.get(), c]() -> asio::awaitable<SteadyClock::time_point> {
        const SteadyClock::time_point start = SteadyClock::now();
        source->postMouseMoved({double(c.x), double(c.y)});
        co_return start;
      },
      asio::use_future);
  const std::optional<SteadyClock::time_point> arrival = env.recorder->waitForArrival();
  const SteadyClock::time_point start = started.get();
  if (!arrival) return std::nullopt;
  return microseconds(*arrival - start);
}

void BM_MoveLatency(benchmark::State& state) {
  Environment& env = *gEnvironment;
  std::vector<double> viaHandler, direct, overhead;
  int lost = 0;
  for (auto _ : state) {
    viaHandler.clear();
    direct.clear();
    overhead.clear();
    for (int i = 0; i < kWarmUpPairs + kLatencyPairs; ++i) {
      // Alternate which path goes first, so that neither always follows the other.
      std::optional<double> h, d;
      if (i % 2 == 0) {
        h = moveThroughHandler(env, nextCoordinate());
        d = moveDirectly(env, nextCoordinate());
      } else {
        d = moveDirectly(env, nextCoordinate());
        h = moveThroughHandler(env, nextCoordinate());
      }
      if (!h || !d) {
        ++lost;
        continue;
      }
      if (i < kWarmUpPairs) continue;
      viaHandler.push_back(*h);
      direct.push_back(*d);
      overhead.push_back(*h - *d);
    }
  }
  const Percentiles h = percentiles(viaHandler), d = percentiles(direct), o = percentiles(overhead);
  state.counters["handler_p50_us"] = h.p50;
  state.counters["handler_p99_us"] = h.p99;
  state.counters["direct_p50_us"] = d.p50;
  state.counters["direct_p99_us"] = d.p99;
  state.counters["overhead_p50_us"] = o.p50;
  state.counters["overhead_p99_us"] = o.p99;
  state.counters["p99_minus_p99_us"] = h.p99 - d.p99;
  state.counters["lost"] = lost;
}

// --- throughput ---

// handle() called on the strand, as the control server calls it.
template <class Token>
auto handleOn(const Strand& strand, const std::shared_ptr<InputCommandHandler>& handler, const std::string& line,
              Token&& token) {
  return asio::co_spawn(
      strand, [handler, &line]() -> asio::awaitable<json::Json> { co_return co_await handler->handle(line); },
      std::forward<Token>(token));
}

enum class Command { mouseMove, leftClick, keyDown };

std::string lineFor(Command command, Coordinate c) {
  switch (command) {
    case Command::mouseMove:
      return mouseMoveLine(c);
    case Command::leftClick:
      return R"({"type":"leftClick","x":)" + std::to_string(c.x) + R"(,"y":)" + std::to_string(c.y) + "}";
    case Command::keyDown:
      return R"({"type":"keyDown","key":"a"})";
  }
  return {};
}

bool isOk(const json::Json& reply) {
  auto status = reply.find("status");
  return status != reply.end() && status->is_string() && status->get<std::string>() == "ok";
}

// Lines per second, the marker move's arrival included; counts replies that were not "ok".
double handlerBatch(Environment& env, Command command, bool inFlight, int& notOk) {
  std::vector<std::string> lines;
  lines.reserve(kLinesPerBatch);
  for (int i = 0; i < kLinesPerBatch; ++i) lines.push_back(lineFor(command, nextCoordinate()));
  const Coordinate marker = nextCoordinate();
  env.recorder->expect(marker);
  std::atomic<int> failures{0};

  const SteadyClock::time_point start = SteadyClock::now();
  if (!inFlight) {
    asio::co_spawn(
        *env.strand,
        [handler = env.handler, &lines, &failures]() -> asio::awaitable<void> {
          for (const std::string& line : lines) {
            if (!isOk(co_await handler->handle(line))) ++failures;
          }
        },
        asio::use_future)
        .get();
  } else {
    std::vector<Strand> strands;
    for (int s = 0; s < kInFlightStrands; ++s) strands.push_back(makeActorStrand());
    std::atomic<int> left{kLinesPerBatch};
    std::promise<void> allDone;
    for (int i = 0; i < kLinesPerBatch; ++i) {
      handleOn(strands[i % kInFlightStrands], env.handler, lines[i], [&](std::exception_ptr, json::Json reply) {
        if (!isOk(reply)) ++failures;
        if (--left == 0) allDone.set_value();
      });
    }
    allDone.get_future().wait();
  }
  const std::string markerLine = mouseMoveLine(marker);
  handleOn(*env.strand, env.handler, markerLine, asio::use_future).get();
  const std::optional<SteadyClock::time_point> arrival = env.recorder->waitForArrival();
  notOk += failures.load() + (arrival ? 0 : 1);
  const double seconds = std::chrono::duration<double>(arrival.value_or(SteadyClock::now()) - start).count();

  // Leave nothing pressed for the next batch: the key goes up, the clicks' releases (24 ms later) go out.
  if (command == Command::keyDown) {
    const std::string keyUp = R"({"type":"keyUp","key":"a"})";
    handleOn(*env.strand, env.handler, keyUp, asio::use_future).get();
  }
  if (command == Command::leftClick) std::this_thread::sleep_for(100ms);
  return kLinesPerBatch / seconds;
}

void BM_HandlerThroughput(benchmark::State& state, Command command, bool inFlight) {
  Environment& env = *gEnvironment;
  std::vector<double> rates;
  int notOk = 0;
  for (auto _ : state) rates.push_back(handlerBatch(env, command, inFlight, notOk));
  std::sort(rates.begin(), rates.end());
  state.counters["lines_per_s"] = rates[rates.size() / 2];
  state.counters["not_ok"] = notOk;
}

// The same events straight through XTest on the strand.
double directBatch(Environment& env, Command command) {
  std::vector<Coordinate> points;
  for (int i = 0; i < kLinesPerBatch; ++i) points.push_back(nextCoordinate());
  const Coordinate marker = nextCoordinate();
  env.recorder->expect(marker);
  const SteadyClock::time_point start = SteadyClock::now();
  asio::co_spawn(
      *env.strand,
      [source = env.direct.get(), &points, command, marker]() -> asio::awaitable<void> {
        for (const Coordinate& c : points) {
          const platform::ScreenPoint p{double(c.x), double(c.y)};
          switch (command) {
            case Command::mouseMove:
              source->postMouseMoved(p);
              break;
            case Command::leftClick:  // the release right away: nothing here waits 24 ms
              source->postMouseButton(platform::MouseButton::left, platform::Press::down, p);
              source->postMouseButton(platform::MouseButton::left, platform::Press::up, p);
              break;
            case Command::keyDown:
              source->postKey("a", platform::Press::down);
              break;
          }
        }
        source->postMouseMoved({double(marker.x), double(marker.y)});
        co_return;
      },
      asio::use_future)
      .get();
  const std::optional<SteadyClock::time_point> arrival = env.recorder->waitForArrival();
  const double seconds = std::chrono::duration<double>(arrival.value_or(SteadyClock::now()) - start).count();
  if (command == Command::keyDown) {
    asio::co_spawn(
        *env.strand,
        [source = env.direct.get()]() -> asio::awaitable<void> {
          source->postKey("a", platform::Press::up);
          co_return;
        },
        asio::use_future)
        .get();
  }
  return kLinesPerBatch / seconds;
}

void BM_DirectThroughput(benchmark::State& state, Command command) {
  Environment& env = *gEnvironment;
  std::vector<double> rates;
  for (auto _ : state) rates.push_back(directBatch(env, command));
  std::sort(rates.begin(), rates.end());
  state.counters["events_per_s"] = rates[rates.size() / 2];
}

}  // namespace

BENCHMARK(BM_MoveLatency)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(BM_HandlerThroughput, mouseMove_in_order, Command::mouseMove, false)
    ->Iterations(5)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(BM_HandlerThroughput, leftClick_in_order, Command::leftClick, false)
    ->Iterations(5)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(BM_HandlerThroughput, keyDown_in_order, Command::keyDown, false)
    ->Iterations(5)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(BM_HandlerThroughput, mouseMove_in_flight, Command::mouseMove, true)
    ->Iterations(5)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(BM_HandlerThroughput, leftClick_in_flight, Command::leftClick, true)
    ->Iterations(5)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(BM_HandlerThroughput, keyDown_in_flight, Command::keyDown, true)
    ->Iterations(5)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(BM_DirectThroughput, mouseMove, Command::mouseMove)
    ->Iterations(5)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(BM_DirectThroughput, leftClick_down_up, Command::leftClick)
    ->Iterations(5)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(BM_DirectThroughput, keyDown, Command::keyDown)
    ->Iterations(5)->Unit(benchmark::kMillisecond)->UseRealTime();

int main(int argc, char** argv) {
  veltrano::ThreadPools pools;
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  // The host logs every click and key; the system log is not what is measured here.
  auto silenced = veltrano::setLogSink(nullptr);
  Environment environment;
  if (!environment.start()) return 1;
  gEnvironment = &environment;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  gEnvironment = nullptr;
  environment.stop();
  return 0;
}
