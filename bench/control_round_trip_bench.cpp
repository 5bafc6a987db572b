// The control channel over loopback. BM_ControlPingAgainstBareEcho alternates two round trips 10,000 times: the
// bytes of one sealed ping record to a bare echo server built on the same TCP layer and back, and the same
// record to the real control server (accepted through the real handshake) and its "pong" record: the record
// layer, the line checks, the command handler's main-thread hop and the reply. It reports p50 and p99 of each
// and the control p50 against the echo's.
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

// One round trip of `payload` through the echo server.
asio::awaitable<void> echoRoundTrip(platform::TcpConnection& connection, const Bytes& payload) {
  connection.send(payload);
  std::size_t got = 0;
  while (got < payload.size()) {
    auto received = co_await connection.receiveAsync(1, NetworkHostServer::maximumReadSize);
    if (received.error || received.content.empty()) throw std::runtime_error("echo connection ended");
    got += received.content.size();
  }
}

struct EchoServerUnderTest {
  EchoServerUnderTest() {
    listener = platform::TcpListener::create(0, clientParameters());
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
  }
  ~EchoServerUnderTest() { listener->cancel(); }

  std::shared_ptr<platform::TcpListener> listener;
};

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

// One "ping" to the control server and its "pong".
asio::awaitable<void> pingRoundTrip(ControlClientConnection& client, std::vector<Bytes>& queued, const Bytes& ping) {
  client.connection->send(client.session->seal(ping));
  const Bytes reply = co_await nextRecord(client, queued);
  if (asString(reply).find("\"pong\"") == std::string::npos) throw std::runtime_error("not a pong");
}

struct RoundTripLatencies {
  std::vector<double> echo;
  std::vector<double> control;
};

// Alternates one echo round trip and one ping, so that both see the machine in the same state.
asio::awaitable<RoundTripLatencies> alternateRoundTrips(std::uint16_t echoPort, std::uint16_t controlPort,
                                                        platform::SigningKey key, int count) {
  auto echoConnection =
      co_await platform::TcpConnection::connect("127.0.0.1", echoPort, clientParameters(), sharedIo().executor());
  ControlClientConnection client = co_await connectControlClient(controlPort, std::move(key));
  std::vector<Bytes> queued;
  co_await nextRecord(client, queued);  // the hello
  const Bytes ping = pingLine();
  // The bytes of a sealed ping record: the same size as what the control client sends.
  LocalTransportSession sealer(LocalTransportChannel::control, platform::SecureBytes(32), platform::SecureBytes(32));
  const Bytes echoPayload = sealer.seal(ping);

  RoundTripLatencies latencies;
  latencies.echo.reserve(count);
  latencies.control.reserve(count);
  for (int i = 0; i < count; ++i) {
    auto start = SteadyClock::now();
    co_await echoRoundTrip(*echoConnection, echoPayload);
    latencies.echo.push_back(elapsedMicroseconds(start));
    start = SteadyClock::now();
    co_await pingRoundTrip(client, queued, ping);
    latencies.control.push_back(elapsedMicroseconds(start));
  }
  echoConnection->cancel();
  client.connection->cancel();
  co_return latencies;
}

void BM_ControlPingAgainstBareEcho(benchmark::State& state) {
  auto silenced = setLogSink(nullptr);
  {
    EchoServerUnderTest echoServer;
    ControlServerUnderTest host;
    Percentiles echo;
    Percentiles control;
    for (auto _ : state) {
      RoundTripLatencies latencies = runBlocking(
          alternateRoundTrips(*echoServer.listener->port(), host.server->listeningPort(), host.key, kPings));
      echo = percentiles(std::move(latencies.echo));
      control = percentiles(std::move(latencies.control));
    }
    state.counters["echo_p50_us"] = echo.p50;
    state.counters["echo_p99_us"] = echo.p99;
    state.counters["control_p50_us"] = control.p50;
    state.counters["control_p99_us"] = control.p99;
    state.counters["p50_vs_echo"] = control.p50 / echo.p50;
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

BENCHMARK(BM_ControlPingAgainstBareEcho)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_ControlMouseMoveThroughput)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
