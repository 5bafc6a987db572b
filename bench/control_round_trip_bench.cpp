// The control channel over loopback. BM_BareTcpEchoRoundTrip sends the bytes of one sealed ping record to a
// bare echo server built on the same TCP layer and waits for them to come back; BM_ControlPingRoundTrip sends
// the same record to the real control server (accepted through the real handshake) and waits for its "pong"
// record: the record layer, the line checks, the command handler's main-thread hop and the reply. Both report
// p50 and p99 over 10,000 round trips, and the control one its p50 against the echo's measured just before.
// BM_ControlMouseMoveThroughput sends mouseMove commands (no replies) in batches closed by a ping and reports
// commands per second.
#include <benchmark/benchmark.h>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/use_future.hpp>

#include <algorithm>
#include <chrono>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "bench_main_thread.hpp"
#include "support/run_blocking.hpp"
#include "base/executors.hpp"
#include "base/json.hpp"
#include "base/task.hpp"
#include "control/input_command_handler.hpp"
#include "control/input_controller.hpp"
#include "control/network_host_server.hpp"
#include "core/log_sink.hpp"
#include "core/metrics_store.hpp"
#include "platform/crypto/signing_key.hpp"
#include "platform/net/tcp_connection.hpp"
#include "platform/net/tcp_listener.hpp"
#include "transport/local_transport_handshake_driver.hpp"

namespace {

using namespace veltrano;
using SteadyClock = std::chrono::steady_clock;

constexpr int kPings = 10000;
constexpr int kMouseMovesPerBatch = 500;

using testing::runBlocking;

using MainThread = bench::BenchMainThread;

platform::TcpParameters clientParameters() {
  platform::TcpParameters parameters;
  parameters.noDelay = true;
  return parameters;
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

double elapsedMicroseconds(SteadyClock::time_point since) {
  return std::chrono::duration<double, std::micro>(SteadyClock::now() - since).count();
}

Bytes pingLine() {
  const std::string line = "{\"type\":\"ping\"}\n";
  return Bytes(line.begin(), line.end());
}

// --- Bare echo ---

asio::awaitable<void> echo(std::shared_ptr<platform::TcpConnection> connection) {
  for (;;) {
    auto received = co_await connection->receiveAsync(1, NetworkHostServer::maximumReadSize);
    if (received.error || received.content.empty()) co_return;
    connection->send(std::move(received.content));
  }
}

asio::awaitable<std::vector<double>> echoRoundTrips(std::uint16_t port, Bytes payload, int count) {
  auto connection =
      co_await platform::TcpConnection::connect("127.0.0.1", port, clientParameters(), sharedIo().executor());
  std::vector<double> latencies;
  latencies.reserve(count);
  for (int i = 0; i < count; ++i) {
    const auto start = SteadyClock::now();
    connection->send(payload);
    std::size_t got = 0;
    while (got < payload.size()) {
      auto received = co_await connection->receiveAsync(1, NetworkHostServer::maximumReadSize);
      if (received.error || received.content.empty()) throw std::runtime_error("echo connection ended");
      got += received.content.size();
    }
    latencies.push_back(elapsedMicroseconds(start));
  }
  connection->cancel();
  co_return latencies;
}

double gEchoP50 = 0;

void BM_BareTcpEchoRoundTrip(benchmark::State& state) {
  auto silenced = setLogSink(nullptr);
  auto listener = platform::TcpListener::create(0, clientParameters());
  std::promise<void> ready;
  listener->setStateHandler([&ready](const platform::NetworkState& s) {
    if (s.kind == platform::NetworkState::Kind::ready) ready.set_value();
  });
  listener->setNewConnectionHandler([](std::shared_ptr<platform::TcpConnection> connection) {
    connection->start(sharedIo().executor());
    Task::spawn(makeActorStrand(), [connection](TaskToken) { return echo(connection); });
  });
  listener->start(sharedIo().executor());
  ready.get_future().wait();
  listener->setStateHandler(nullptr);

  // The bytes of a sealed ping record: the same size as what the control benchmark sends.
  LocalTransportSession sealer(LocalTransportChannel::control, platform::SecureBytes(32), platform::SecureBytes(32));
  const Bytes payload = sealer.seal(pingLine());

  Percentiles result;
  for (auto _ : state) result = percentiles(runBlocking(echoRoundTrips(*listener->port(), payload, kPings)));
  gEchoP50 = result.p50;
  state.counters["p50_us"] = result.p50;
  state.counters["p99_us"] = result.p99;
  state.SetItemsProcessed(state.iterations() * kPings);
  listener->cancel();
  setLogSink(silenced);
}

// --- Control server ---

struct ControlServerUnderTest {
  ControlServerUnderTest() {
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

  MainThread mainThread;
  platform::SigningKey key = platform::SigningKey::generate();
  std::shared_ptr<MetricsStore> metrics = std::make_shared<MetricsStore>();
  std::shared_ptr<InputController> input;
  std::shared_ptr<InputCommandHandler> handler;
  std::shared_ptr<NetworkHostServer> server;
};

struct ControlClientConnection {
  std::shared_ptr<platform::TcpConnection> connection;
  std::shared_ptr<LocalTransportSession> session;
};

asio::awaitable<ControlClientConnection> connectControlClient(std::uint16_t port, platform::SigningKey key) {
  auto connection =
      co_await platform::TcpConnection::connect("127.0.0.1", port, clientParameters(), sharedIo().executor());
  auto session = co_await clientHandshake(connection, LocalTransportChannel::control, std::move(key));
  co_return ControlClientConnection{connection, session};
}

// Waits for the next record from the host (its plaintext).
asio::awaitable<Bytes> nextRecord(ControlClientConnection& client, std::vector<Bytes>& queued) {
  while (queued.empty()) {
    auto received = co_await client.connection->receiveAsync(1, NetworkHostServer::maximumReadSize);
    if (received.error || received.content.empty()) throw std::runtime_error("control connection ended");
    for (auto& record : client.session->open(received.content)) queued.push_back(std::move(record));
  }
  Bytes record = std::move(queued.front());
  queued.erase(queued.begin());
  co_return record;
}

asio::awaitable<std::vector<double>> controlRoundTrips(std::uint16_t port, platform::SigningKey key, int count) {
  ControlClientConnection client = co_await connectControlClient(port, std::move(key));
  std::vector<Bytes> queued;
  co_await nextRecord(client, queued);  // the hello
  const Bytes ping = pingLine();
  std::vector<double> latencies;
  latencies.reserve(count);
  for (int i = 0; i < count; ++i) {
    const auto start = SteadyClock::now();
    client.connection->send(client.session->seal(ping));
    const Bytes reply = co_await nextRecord(client, queued);
    latencies.push_back(elapsedMicroseconds(start));
    if (asString(reply).find("\"pong\"") == std::string::npos) throw std::runtime_error("not a pong");
  }
  client.connection->cancel();
  co_return latencies;
}

void BM_ControlPingRoundTrip(benchmark::State& state) {
  auto silenced = setLogSink(nullptr);
  {
    ControlServerUnderTest host;
    Percentiles result;
    for (auto _ : state) result = percentiles(runBlocking(controlRoundTrips(host.server->listeningPort(), host.key, kPings)));
    state.counters["p50_us"] = result.p50;
    state.counters["p99_us"] = result.p99;
    if (gEchoP50 > 0) state.counters["p50_vs_echo"] = result.p50 / gEchoP50;
    state.SetItemsProcessed(state.iterations() * kPings);
  }
  setLogSink(silenced);
}

asio::awaitable<void> mouseMoveBatch(ControlClientConnection& client, std::vector<Bytes>& queued, int batch) {
  for (int i = 0; i < batch; ++i) {
    std::string line = json::dump(json::Json{{"type", "mouseMove"}, {"x", i % 1000}, {"y", i % 700}});
    line.push_back('\n');
    client.connection->send(client.session->seal(asBytes(line)));
  }
  client.connection->send(client.session->seal(pingLine()));
  co_await nextRecord(client, queued);  // the pong: every mouseMove before it has been handled
}

void BM_ControlMouseMoveThroughput(benchmark::State& state) {
  auto silenced = setLogSink(nullptr);
  {
    ControlServerUnderTest host;
    auto client = runBlocking(connectControlClient(host.server->listeningPort(), host.key));
    std::vector<Bytes> queued;
    runBlocking(nextRecord(client, queued));  // the hello
    for (auto _ : state) runBlocking(mouseMoveBatch(client, queued, kMouseMovesPerBatch));
    state.SetItemsProcessed(state.iterations() * kMouseMovesPerBatch);
    client.connection->cancel();
  }
  setLogSink(silenced);
}

BENCHMARK(BM_BareTcpEchoRoundTrip)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_ControlPingRoundTrip)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_ControlMouseMoveThroughput)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
