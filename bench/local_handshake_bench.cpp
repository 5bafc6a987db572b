// Local connections per second over loopback: a bare TCP connect beside a connect followed by the
// "VELTRANO-LOCAL-V1" handshake against a listening server, whose accept path and host handshake run as in the
// host (accept handler -> task on the server's executor -> handshake). The gap is what authentication costs.
#include <benchmark/benchmark.h>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/use_future.hpp>

#include <atomic>
#include <memory>

#include "base/executors.hpp"
#include "core/log_sink.hpp"
#include "localserver/listening_server.hpp"
#include "platform/crypto/signing_key.hpp"
#include "platform/net/tcp_connection.hpp"
#include "transport/local_transport_handshake_driver.hpp"

namespace {

using namespace veltrano;

template <class T>
T runBlocking(asio::awaitable<T> operation) {
  return asio::co_spawn(sharedIo().executor(), std::move(operation), asio::use_future).get();
}

class BenchServer final : public ListeningServer {
 public:
  static std::shared_ptr<BenchServer> make(bool authenticate, platform::SigningKey key) {
    auto server = std::shared_ptr<BenchServer>(new BenchServer(authenticate, std::move(key)));
    runBlocking(server->start());
    return server;
  }
  void stop() {
    runBlocking(asio::co_spawn(executor(), [this]() -> asio::awaitable<void> {
      co_await finishStopping(stopListening());
    }(), asio::use_awaitable));
  }
  std::atomic<long> failures{0};

 protected:
  asio::awaitable<void> authenticateConnection(std::shared_ptr<platform::TcpConnection> connection,
                                               ConnectionID connectionID) override {
    if (authenticate_) {
      try {
        co_await serverHandshake(connection, LocalTransportChannel::control, key_);
      } catch (...) {
        ++failures;
      }
    }
    pendingConnections_.erase(connectionID);
    connection->setStateHandler(nullptr);
    connection->cancel();
  }

 private:
  BenchServer(bool authenticate, platform::SigningKey key)
      : ListeningServer(makeActorStrand(), Configuration{0, platform::ServiceClass::responsiveData, {}, {},
                                                         defaultListenerCancellationTimeout}),
        authenticate_(authenticate),
        key_(std::move(key)) {}

  const bool authenticate_;
  const platform::SigningKey key_;
};

platform::TcpParameters clientParameters() {
  platform::TcpParameters parameters;
  parameters.noDelay = true;  // as a tablet sets it: the handshake is small writes that wait for answers
  return parameters;
}

asio::awaitable<void> connectOnce(std::uint16_t port, bool authenticate, platform::SigningKey key) {
  auto connection =
      co_await platform::TcpConnection::connect("127.0.0.1", port, clientParameters(), sharedIo().executor());
  if (authenticate) co_await clientHandshake(connection, LocalTransportChannel::control, std::move(key));
  connection->cancel();
}

void run(benchmark::State& state, bool authenticate) {
  auto silenced = setLogSink(nullptr);
  const auto key = platform::SigningKey::generate();
  auto server = BenchServer::make(authenticate, key);
  const auto port = server->listeningPort();
  for (auto _ : state) runBlocking(connectOnce(port, authenticate, key));
  state.SetItemsProcessed(state.iterations());
  state.counters["server_failures"] = static_cast<double>(server->failures.load());
  server->stop();
  setLogSink(silenced);
}

void BM_LoopbackTcpConnect(benchmark::State& state) { run(state, false); }
void BM_LoopbackConnectAndHandshake(benchmark::State& state) { run(state, true); }

BENCHMARK(BM_LoopbackTcpConnect)->UseRealTime();
BENCHMARK(BM_LoopbackConnectAndHandshake)->UseRealTime();

}  // namespace
