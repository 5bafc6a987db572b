// The control channel over loopback against a plain echo of the same bytes.
// BM_ControlPingAgainstPlainEcho: every client is a thread with two plain blocking sockets, one to a plain
// blocking echo server (a thread per connection) and one to the real control server (the handshake runs through
// our TCP layer, then the client takes the socket over). Each client alternates a round trip of the bytes of one
// sealed ping record through the echo with a "ping" record to the control server and its "pong" (the record
// layer, the line checks and the reply, made on the client's own sequence). Modes: one client; one client while
// the host streams a 1080p60 display to a video client of the same process; ten clients at once. Each run reports
// the one-minute load beside its figures.
// BM_ControlMouseMoveThroughput sends mouseMove commands (no replies) in batches closed by a ping and reports
// commands per second.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <deque>
#include <latch>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "bench_main_thread.hpp"
#include "load_average.hpp"
#include "base/executors.hpp"
#include "base/json.hpp"
#include "control/input_command_handler.hpp"
#include "control/input_controller.hpp"
#include "control/network_host_server.hpp"
#include "core/log_sink.hpp"
#include "core/metrics_store.hpp"
#include "media/media_envelope.hpp"
#include "media_bench_screen.hpp"
#include "media_bench_streamed_display.hpp"
#include "platform/crypto/signing_key.hpp"
#include "platform/net/tcp_connection.hpp"
#include "support/run_blocking.hpp"
#include "transport/local_transport_handshake_driver.hpp"

namespace {

using namespace veltrano;
using namespace std::chrono_literals;
using SteadyClock = std::chrono::steady_clock;
using testing::runBlocking;

constexpr int kRoundTrips = 10000;  // per benchmark run, shared out among its clients
constexpr int kMouseMovesPerBatch = 500;
constexpr int kStreamFps = 60;

// The main thread lives as long as the shared I/O threads that post to it.
bench::BenchMainThread& mainThread() {
  static bench::BenchMainThread thread;
  return thread;
}

struct Percentiles {
  double p50 = 0;
  double p99 = 0;
};

Percentiles percentiles(std::vector<double> microseconds) {
  std::sort(microseconds.begin(), microseconds.end());
  auto at = [&](double fraction) {
    return microseconds[std::min(microseconds.size() - 1, static_cast<std::size_t>(fraction * microseconds.size()))];
  };
  return {at(0.50), at(0.99)};
}

Bytes pingLine() {
  const std::string line = "{\"type\":\"ping\"}\n";
  return Bytes(line.begin(), line.end());
}

// --- Plain blocking sockets, outside our TCP layer ---

class BlockingSocket {
 public:
  explicit BlockingSocket(int fd) : fd_(fd) {
    const int on = 1;
    ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    ::fcntl(fd_, F_SETFL, ::fcntl(fd_, F_GETFL) & ~O_NONBLOCK);
  }
  BlockingSocket(BlockingSocket&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  BlockingSocket& operator=(BlockingSocket&&) = delete;
  ~BlockingSocket() {
    if (fd_ >= 0) ::close(fd_);
  }

  static BlockingSocket connectTo(std::uint16_t port) {
    BlockingSocket socket(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    const sockaddr_in address = loopback(port);
    if (::connect(socket.fd_, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
      throw std::runtime_error(std::string("connect: ") + std::strerror(errno));
    }
    return socket;
  }

  static sockaddr_in loopback(std::uint16_t port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
  }

  bool sendAll(ByteView bytes) {
    for (std::size_t sent = 0; sent < bytes.size();) {
      const ssize_t n = ::send(fd_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return false;
      sent += static_cast<std::size_t>(n);
    }
    return true;
  }

  // At least one byte into `buffer`; 0 once the stream has ended or failed.
  std::size_t receiveSome(std::vector<std::uint8_t>& buffer) {
    for (;;) {
      const ssize_t n = ::recv(fd_, buffer.data(), buffer.size(), 0);
      if (n < 0 && errno == EINTR) continue;
      return n > 0 ? static_cast<std::size_t>(n) : 0;
    }
  }

  int fd() const { return fd_; }

 private:
  int fd_;
};

// Echoes every connection on a thread of its own, with plain blocking reads and writes.
class PlainEchoServer {
 public:
  PlainEchoServer() : listener_(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
    sockaddr_in address = BlockingSocket::loopback(0);
    socklen_t length = sizeof address;
    if (::bind(listener_.fd(), reinterpret_cast<sockaddr*>(&address), length) != 0 ||
        ::listen(listener_.fd(), 64) != 0 ||
        ::getsockname(listener_.fd(), reinterpret_cast<sockaddr*>(&address), &length) != 0) {
      throw std::runtime_error("cannot listen for the echo");
    }
    port_ = ntohs(address.sin_port);
    acceptor_ = std::thread([this] {
      for (;;) {
        const int fd = ::accept4(listener_.fd(), nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) return;  // shut down
        std::lock_guard lock(mutex_);
        echoes_.emplace_back([connection = std::make_shared<BlockingSocket>(fd)] {
          std::vector<std::uint8_t> buffer(64 * 1024);
          while (const std::size_t n = connection->receiveSome(buffer)) {
            if (!connection->sendAll(ByteView(buffer.data(), n))) return;
          }
        });
      }
    });
  }
  // The clients have closed their ends by now, which ends every echo thread.
  ~PlainEchoServer() {
    ::shutdown(listener_.fd(), SHUT_RDWR);
    acceptor_.join();
    for (auto& echo : echoes_) echo.join();
  }

  std::uint16_t port() const { return port_; }

 private:
  BlockingSocket listener_;
  std::uint16_t port_ = 0;
  std::mutex mutex_;
  std::vector<std::thread> echoes_;
  std::thread acceptor_;
};

// --- Control server ---

struct ControlServerUnderTest {
  ControlServerUnderTest() {
    mainThread();
    input = InputController::create(nullptr, [] { return true; });
    handler = InputCommandHandler::create(input, metrics);
    NetworkHostServer::Options options;
    options.port = 0;
    options.commandHandler = handler;
    options.metrics = metrics;
    options.identityProvider = [key = key] { return VeltranoIdentity(key); };
    server = NetworkHostServer::create(std::move(options));
    runBlocking(server->start());
  }
  ~ControlServerUnderTest() { runBlocking(server->stop()); }

  platform::SigningKey key = platform::SigningKey::generate();
  std::shared_ptr<MetricsStore> metrics = std::make_shared<MetricsStore>();
  std::shared_ptr<InputController> input;
  std::shared_ptr<InputCommandHandler> handler;
  std::shared_ptr<NetworkHostServer> server;
};

// A tablet's control connection on a plain blocking socket: the handshake runs through our TCP layer, which
// reads nothing past it; then the socket is taken over and the connection let go.
class ControlClient {
 public:
  ControlClient(std::uint16_t port, platform::SigningKey key) : socket_(takeOver(port, std::move(key), session_)) {
    nextRecord();  // the hello
  }

  void send(ByteView plaintext) {
    if (!socket_.sendAll(session_->seal(plaintext))) throw std::runtime_error("control connection ended");
  }

  // The next record's plaintext.
  Bytes nextRecord() {
    while (queued_.empty()) {
      const std::size_t n = socket_.receiveSome(buffer_);
      if (n == 0) throw std::runtime_error("control connection ended");
      for (auto& record : session_->open(ByteView(buffer_.data(), n))) queued_.push_back(std::move(record));
    }
    Bytes record = std::move(queued_.front());
    queued_.pop_front();
    return record;
  }

  // One "ping" and its "pong".
  void ping() {
    static const Bytes line = pingLine();
    send(line);
    while (asString(nextRecord()).find("\"pong\"") == std::string::npos) {
    }
  }

 private:
  static BlockingSocket takeOver(std::uint16_t port, platform::SigningKey key,
                                 std::shared_ptr<LocalTransportSession>& session) {
    platform::TcpParameters parameters;
    parameters.noDelay = true;
    auto connection =
        runBlocking(platform::TcpConnection::connect("127.0.0.1", port, parameters, sharedIo().executor()));
    session = runBlocking(clientHandshake(connection, LocalTransportChannel::control, std::move(key)));
    BlockingSocket socket(::dup(connection->nativeHandleForInspection()));
    connection->cancel();
    return socket;
  }

  std::shared_ptr<LocalTransportSession> session_;
  BlockingSocket socket_;
  std::vector<std::uint8_t> buffer_ = std::vector<std::uint8_t>(64 * 1024);
  std::deque<Bytes> queued_;
};

// One client: an echo connection and a control connection, used in turn.
struct PingClient {
  PingClient(std::uint16_t echoPort, std::uint16_t controlPort, const platform::SigningKey& key)
      : echo(BlockingSocket::connectTo(echoPort)), control(controlPort, key) {}

  void echoRoundTrip(const Bytes& payload) {
    if (!echo.sendAll(payload)) throw std::runtime_error("echo connection ended");
    for (std::size_t got = 0; got < payload.size();) {
      const std::size_t n = echo.receiveSome(buffer);
      if (n == 0) throw std::runtime_error("echo connection ended");
      got += n;
    }
  }

  BlockingSocket echo;
  ControlClient control;
  std::vector<std::uint8_t> buffer = std::vector<std::uint8_t>(64 * 1024);
  std::vector<double> echoMicroseconds;
  std::vector<double> controlMicroseconds;
};

// Every client on a thread of its own, all starting together, each alternating `count` echo round trips with
// `count` pings so that both see the machine in the same state.
void alternateRoundTrips(std::vector<std::unique_ptr<PingClient>>& clients, int count) {
  // The bytes of a sealed ping record: what the control client sends.
  LocalTransportSession sealer(LocalTransportChannel::control, platform::SecureBytes(32), platform::SecureBytes(32));
  const Bytes echoPayload = sealer.seal(pingLine());
  std::latch start(static_cast<std::ptrdiff_t>(clients.size()));
  std::vector<std::thread> threads;
  std::mutex failureMutex;
  std::optional<std::string> failure;
  for (auto& client : clients) {
    threads.emplace_back([&, c = client.get()] {
      start.arrive_and_wait();
      try {
        for (int i = 0; i < count; ++i) {
          auto began = SteadyClock::now();
          c->echoRoundTrip(echoPayload);
          auto ended = SteadyClock::now();
          c->echoMicroseconds.push_back(std::chrono::duration<double, std::micro>(ended - began).count());
          began = SteadyClock::now();
          c->control.ping();
          ended = SteadyClock::now();
          c->controlMicroseconds.push_back(std::chrono::duration<double, std::micro>(ended - began).count());
        }
      } catch (const std::exception& error) {
        std::lock_guard lock(failureMutex);
        failure = error.what();
      }
    });
  }
  for (auto& thread : threads) thread.join();
  if (failure) throw std::runtime_error(*failure);
}

// A 1080p display streamed at 60 fps to a video client whose records a thread takes and drops.
class BackgroundStream {
 public:
  BackgroundStream() {
    screen().startAnimation();
    streamed_.emplace(screen().displayName(), screen().monitorID(), kStreamFps);
    drain_ = std::thread([this] {
      while (!stopping_) {
        auto record = streamed_->client().nextRecordBlocking(100ms);
        if (!record) continue;
        auto envelope = parseMediaEnvelope(*record);
        if (envelope && envelope->type == MediaEnvelopeType::videoFrame) ++frames_;
      }
    });
  }
  ~BackgroundStream() {
    stopping_ = true;
    drain_.join();
    streamed_.reset();
    screen().stopAnimation();
  }

  // Waits (up to a generous deadline) until frames flow, and returns how many arrived so far.
  std::uint64_t waitForFrames(std::uint64_t count) const {
    for (auto deadline = SteadyClock::now() + 30s; frames_ < count && SteadyClock::now() < deadline;) {
      std::this_thread::sleep_for(10ms);
    }
    if (frames_ < count) throw std::runtime_error("the video stream does not flow");
    return frames_;
  }
  std::uint64_t frames() const { return frames_; }

 private:
  static bench::BenchScreen& screen() {
    static bench::BenchScreen instance;
    return instance;
  }

  std::optional<bench::StreamedDisplay> streamed_;
  std::atomic<bool> stopping_{false};
  std::atomic<std::uint64_t> frames_{0};
  std::thread drain_;
};

void BM_ControlPingAgainstPlainEcho(benchmark::State& state) {
  const int clientCount = static_cast<int>(state.range(0));
  const bool streaming = state.range(1) != 0;
  auto silenced = setLogSink(nullptr);
  {
    PlainEchoServer echoServer;
    ControlServerUnderTest host;
    std::optional<BackgroundStream> stream;
    if (streaming) stream.emplace();
    Percentiles echo;
    Percentiles control;
    double videoFps = 0;
    for (auto _ : state) {
      std::vector<std::unique_ptr<PingClient>> clients;
      for (int i = 0; i < clientCount; ++i) {
        clients.push_back(std::make_unique<PingClient>(echoServer.port(), host.server->listeningPort(), host.key));
      }
      const std::uint64_t framesBefore = stream ? stream->waitForFrames(2 * kStreamFps) : 0;
      const auto began = SteadyClock::now();
      alternateRoundTrips(clients, kRoundTrips / clientCount);
      const std::chrono::duration<double> took = SteadyClock::now() - began;
      if (stream) videoFps = static_cast<double>(stream->frames() - framesBefore) / took.count();
      std::vector<double> echoAll;
      std::vector<double> controlAll;
      for (auto& client : clients) {
        echoAll.insert(echoAll.end(), client->echoMicroseconds.begin(), client->echoMicroseconds.end());
        controlAll.insert(controlAll.end(), client->controlMicroseconds.begin(), client->controlMicroseconds.end());
      }
      echo = percentiles(std::move(echoAll));
      control = percentiles(std::move(controlAll));
    }
    state.counters["echo_p50_us"] = echo.p50;
    state.counters["echo_p99_us"] = echo.p99;
    state.counters["control_p50_us"] = control.p50;
    state.counters["control_p99_us"] = control.p99;
    state.counters["p50_vs_echo"] = control.p50 / echo.p50;
    state.counters["p99_vs_echo"] = control.p99 / echo.p99;
    if (streaming) state.counters["video_fps"] = videoFps;
    state.counters["load_1min"] = std::stod(bench::loadAverage());
    state.SetItemsProcessed(state.iterations() * kRoundTrips);
  }
  setLogSink(silenced);
}

void BM_ControlMouseMoveThroughput(benchmark::State& state) {
  auto silenced = setLogSink(nullptr);
  {
    ControlServerUnderTest host;
    ControlClient client(host.server->listeningPort(), host.key);
    for (auto _ : state) {
      for (int i = 0; i < kMouseMovesPerBatch; ++i) {
        std::string line = json::dump(json::Json{{"type", "mouseMove"}, {"x", i % 1000}, {"y", i % 700}});
        line.push_back('\n');
        client.send(asBytes(line));
      }
      client.ping();  // every mouseMove before it has been handled
    }
    state.SetItemsProcessed(state.iterations() * kMouseMovesPerBatch);
  }
  setLogSink(silenced);
}

BENCHMARK(BM_ControlPingAgainstPlainEcho)
    ->ArgNames({"clients", "streaming"})
    ->Args({1, 0})
    ->Args({1, 1})
    ->Args({10, 0})
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK(BM_ControlMouseMoveThroughput)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
