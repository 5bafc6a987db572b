#pragma once
// A control server on a free loopback port with a real command handler and injector, a test main loop on the
// test's thread, and loopback clients that run the real handshake. Client operations run on the shared I/O
// threads while the test thread keeps the main loop turning, so commands that hop to the main thread complete.
#include <atomic>
#include <chrono>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "base/clock.hpp"
#include "base/executors.hpp"
#include "base/json.hpp"
#include "control/input_command_handler.hpp"
#include "fake_desktop_switcher.hpp"
#include "phone_command.hpp"
#include "control/input_controller.hpp"
#include "control/network_host_server.hpp"
#include "core/log_capture.hpp"
#include "core/metrics_store.hpp"
#include "filetransfer/file_transfer_test_support.hpp"
#include "platform/crypto/signing_key.hpp"
#include "platform/events/event_source.hpp"
#include "support/local_test_client.hpp"
#include "support/run_blocking.hpp"

namespace veltrano::test {

using json::Json;
using testing::LocalTestClient;
using namespace std::chrono_literals;

struct ControlServerSetup {
  bool withX = false;           // the injector posts to the X server on $DISPLAY
  Clock* clock = nullptr;       // the handler's and the server's clock; the system clock when null
  std::shared_ptr<LocalFileTransferServer> fileServer;
  std::shared_ptr<RemoteFileTransferCoordinator> fileTransfers;
  std::function<boost::asio::awaitable<void>()> beforeClientRegistration;
  std::uint16_t port = 0;
  bool serverHasMetrics = true;  // false: the server is given no metrics store
};

// A file-channel server on a free port and a transfer coordinator with scripted file panels.
struct FileCollaborators {
  FileCollaborators() {
    LocalFileTransferServer::Options options;
    options.port = 0;
    options.identityProvider = [key = fileAccountKey] { return VeltranoIdentity(key); };
    fileServer = LocalFileTransferServer::create(std::move(options));
    fileTransfers = RemoteFileTransferCoordinator::create(panels);
  }
  // A control server set-up that hands its clients this file server and coordinator.
  ControlServerSetup setup() const {
    ControlServerSetup result;
    result.fileServer = fileServer;
    result.fileTransfers = fileTransfers;
    return result;
  }
  // The file channel's own key: a client connects its file channel with it.
  const platform::SigningKey fileAccountKey = platform::SigningKey::generate();
  std::shared_ptr<testing::ScriptedPanels> panels = std::make_shared<testing::ScriptedPanels>();
  std::shared_ptr<LocalFileTransferServer> fileServer;
  std::shared_ptr<RemoteFileTransferCoordinator> fileTransfers;
};

class ControlServerHarness {
 public:
  explicit ControlServerHarness(ControlServerSetup setup = {})
      : accountKey(platform::SigningKey::generate()), clock_(setup.clock ? setup.clock : &systemClock()) {
    std::unique_ptr<platform::EventSource> source = setup.withX ? platform::EventSource::create() : nullptr;
    input = InputController::create(std::move(source), [] { return true; }, *clock_);
    handler = InputCommandHandler::create(input, metrics, *clock_, desktops);

    NetworkHostServer::Options options;
    options.port = setup.port;
    options.commandHandler = handler;
    if (setup.serverHasMetrics) options.metrics = metrics;
    options.identityProvider = [key = accountKey] { return VeltranoIdentity(key); };
    options.fileServer = setup.fileServer;
    options.fileTransfers = setup.fileTransfers;
    options.beforeClientRegistration = setup.beforeClientRegistration;
    options.clock = setup.clock;
    server = NetworkHostServer::create(std::move(options));
    server->setOnClientCountChange([counts = counts_](std::int64_t count) { return record(counts, count); });
    handler->setBroadcaster(server);
  }

  ~ControlServerHarness() {
    try {
      if (server) run(server->stop());
    } catch (...) {
    }
    server.reset();
    handler.reset();
    input.reset();
    loop.drain();
  }

  ControlServerHarness(const ControlServerHarness&) = delete;
  ControlServerHarness& operator=(const ControlServerHarness&) = delete;

  // Runs `operation` on the shared I/O threads while the main loop turns here; rethrows its failure.
  template <class T>
  T run(boost::asio::awaitable<T> operation, std::chrono::milliseconds timeout = 10s) {
    return testing::awaitOn(loop, std::move(operation), timeout);
  }

  void start() { run(server->start()); }
  std::uint16_t port() const { return server->listeningPort(); }

  std::shared_ptr<LocalTestClient> connect() {
    return run(LocalTestClient::connect(port(), LocalTransportChannel::control, accountKey, {}));
  }
  // Connects and takes the hello message.
  std::shared_ptr<LocalTestClient> connectAndGreet() {
    auto client = connect();
    const std::optional<Json> hello = next(*client);
    EXPECT_TRUE(hello && (*hello)["type"] == "hello") << "no hello";
    return client;
  }

  // The next JSON record from the server; nullopt when none came within `timeout`.
  std::optional<Json> next(LocalTestClient& client, std::chrono::milliseconds timeout = 2s) {
    return run(client.nextJSON(timeout), timeout + 5s);
  }
  Json request(LocalTestClient& client, const Json& command) {
    client.sendJSONLine(command);
    return next(client).value_or(Json{{"missing", "reply"}});
  }
  bool closedWithin(LocalTestClient& client, std::chrono::milliseconds timeout = 3s) {
    return run(client.waitUntilClosed(timeout), timeout + 5s);
  }

  // Turns the main loop until `condition` holds.
  bool waitFor(const std::function<bool()>& condition, std::chrono::milliseconds timeout = 3s) {
    return loop.runUntil(condition, timeout);
  }

  std::vector<std::int64_t> publishedCounts() const {
    std::lock_guard lock(counts_->mutex);
    return counts_->values;
  }
  std::size_t registeredClients() { return run(server->clientCount()); }

  bool logged(LogCategory category, const std::string& message) const {
    for (const CapturedLogLine& line : logs.lines()) {
      if (line.category == category && line.message == message) return true;
    }
    return false;
  }
  std::vector<std::string> messagesContaining(const std::string& part) const {
    std::vector<std::string> found;
    for (const std::string& line : logs.messages()) {
      if (line.find(part) != std::string::npos) found.push_back(line);
    }
    return found;
  }
  std::size_t countLogged(const std::string& message) const {
    std::size_t count = 0;
    for (const std::string& line : logs.messages()) count += line == message ? 1 : 0;
    return count;
  }

  MainLoopForTests loop;
  ScopedLogCapture logs;
  platform::SigningKey accountKey;
  std::shared_ptr<MetricsStore> metrics = std::make_shared<MetricsStore>();
  std::shared_ptr<InputController> input;
  std::shared_ptr<FakeDesktopSwitcher> desktops = std::make_shared<FakeDesktopSwitcher>();
  std::shared_ptr<InputCommandHandler> handler;
  std::shared_ptr<NetworkHostServer> server;

 private:
  struct Counts {
    mutable std::mutex mutex;
    std::vector<std::int64_t> values;
  };
  static boost::asio::awaitable<void> record(std::shared_ptr<Counts> counts, std::int64_t count) {
    std::lock_guard lock(counts->mutex);
    counts->values.push_back(count);
    co_return;
  }
  Clock* clock_;
  std::shared_ptr<Counts> counts_ = std::make_shared<Counts>();
};

}  // namespace veltrano::test
