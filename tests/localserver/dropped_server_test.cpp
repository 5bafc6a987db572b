// Every local server dropped without a stop closes its port and its authenticated clients, even while their
// receive loops wait for the network.
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>

#include "control/input_command_handler.hpp"
#include "control/input_controller.hpp"
#include "control/network_host_server.hpp"
#include "core/metrics_store.hpp"
#include "filetransfer/local_file_transfer_server.hpp"
#include "media/audio_stream_server.hpp"
#include "media/video_stream_server.hpp"
#include "platform/net/tcp_connection.hpp"
#include "platform/net/network_error.hpp"
#include "support/eventually.hpp"
#include "support/local_test_client.hpp"
#include "support/run_blocking.hpp"

using namespace veltrano;
using namespace std::chrono_literals;
using veltrano::testing::LocalTestClient;

namespace {

using Identity = std::function<VeltranoIdentity()>;
using MakeServer = std::function<std::shared_ptr<ListeningServer>(const Identity&)>;

struct ServerKind {
  std::string name;
  LocalTransportChannel channel;
  MakeServer make;
};
void PrintTo(const ServerKind& kind, std::ostream* out) { *out << kind.name; }

std::shared_ptr<ListeningServer> controlServer(const Identity& identity) {
  NetworkHostServer::Options options;
  options.port = 0;
  options.commandHandler = InputCommandHandler::create(InputController::create(), std::make_shared<MetricsStore>());
  options.identityProvider = identity;
  return NetworkHostServer::create(std::move(options));
}

std::shared_ptr<ListeningServer> fileServer(const Identity& identity) {
  LocalFileTransferServer::Options options;
  options.port = 0;
  options.identityProvider = identity;
  return LocalFileTransferServer::create(std::move(options));
}

template <class Server>
std::shared_ptr<ListeningServer> mediaServer(const Identity& identity) {
  MediaServerDependencies dependencies;
  dependencies.identityProvider = identity;
  return Server::create(0, {}, std::move(dependencies));
}

class DroppedServer : public ::testing::TestWithParam<ServerKind> {};

TEST_P(DroppedServer, ClosesItsPortAndItsClients) {
  MainLoopForTests loop;
  const auto key = platform::SigningKey::generate();
  auto server = GetParam().make([key] { return VeltranoIdentity(key); });
  veltrano::testing::awaitOn(loop, server->start());
  const std::uint16_t port = server->listeningPort();
  auto client = veltrano::testing::awaitOn(loop, LocalTestClient::connect(port, GetParam().channel, key, {}));
  // Whether or not the server has registered the client yet, nothing may keep the dropped server alive.
  server.reset();
  EXPECT_TRUE(veltrano::testing::awaitOn(loop, client->waitUntilClosed(5s))) << "the client was not closed";
  EXPECT_TRUE(veltrano::testing::eventually([&] {
    try {
      veltrano::testing::runBlocking(platform::TcpConnection::connect("127.0.0.1", port, {}, sharedIo().executor()))->cancel();
      return false;
    } catch (const platform::NetworkError&) {
      return true;
    }
  })) << "the port still accepts connections";
}

INSTANTIATE_TEST_SUITE_P(EveryLocalServer, DroppedServer,
                         ::testing::Values(ServerKind{"control", LocalTransportChannel::control, controlServer},
                                           ServerKind{"file", LocalTransportChannel::file, fileServer},
                                           ServerKind{"video", LocalTransportChannel::video,
                                                      mediaServer<VideoStreamServer>},
                                           ServerKind{"audio", LocalTransportChannel::audio,
                                                      mediaServer<AudioStreamServer>}),
                         [](const auto& info) { return info.param.name; });

}  // namespace
