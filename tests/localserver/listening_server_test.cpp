#include <gtest/gtest.h>

#include <sys/socket.h>

#include <algorithm>
#include <future>
#include <thread>

#include "base/actor.hpp"
#include "base/task.hpp"
#include "core/log_capture.hpp"
#include "localserver/listening_server.hpp"
#include "localserver/scripted_listener.hpp"
#include "platform/net/net_test_support.hpp"
#include "platform/net/network_error.hpp"
#include "platform/net/tcp_listener.hpp"
#include "support/eventually.hpp"
#include "support/recorded_values.hpp"

using namespace veltrano;
using namespace std::chrono_literals;
using platform::NetworkState;
using veltrano::testing::eventually;
using veltrano::testing::runBlocking;
using veltrano::testing::ScriptedListener;

namespace {

ListenerLogLines controlLikeLines() {
  ListenerLogLines lines;
  lines.listening = ListenerLogLine{LogCategory::NET, "Listening on port "};
  lines.listenerFailed = ListenerLogLine{LogCategory::Error, "Listener failed: "};
  lines.listenerCancelled = ListenerLogLine{LogCategory::NET, "Listener cancelled"};
  lines.connectionFailed = ListenerLogLine{LogCategory::Error, "Connection failed: "};
  lines.connectionClosed = ListenerLogLine{LogCategory::CLIENT, "Disconnected"};
  return lines;
}

// A concrete server: its authentication step hands the connection to the test, which decides what happens.
class RecordingServer final : public ListeningServer {
 public:
  enum class OnReady { keepPending, readThenCancelOnError, cancel };

  static std::shared_ptr<RecordingServer> make(Configuration configuration, OnReady onReady = OnReady::keepPending) {
    return std::shared_ptr<RecordingServer>(new RecordingServer(std::move(configuration), onReady));
  }

  asio::awaitable<void> stop() {
    co_await runOn(executor(), [this]() -> asio::awaitable<void> {
      auto old = stopListening();
      co_await finishStopping(std::move(old));
    }());
  }

  std::size_t pendingCount() { return onStrand<std::size_t>([this] { return pendingConnections_.size(); }); }
  std::size_t waiterCount() { return onStrand<std::size_t>([this] { return startWaiterCount(); }); }
  bool listening() { return onStrand<bool>([this] { return hasListener(); }); }
  std::optional<Uuid> generation() { return onStrand<std::optional<Uuid>>([this] { return listenerGeneration(); }); }
  // Reports a state as the listener's handler of `generation` would (a late or foreign report).
  void reportState(NetworkState state, Uuid generation) {
    onStrand<bool>([=, this] {
      handleListenerState(state, generation);
      return true;
    });
  }

  std::vector<ConnectionID> authenticated() { return authenticated_.values(); }
  std::vector<ConnectionID> removed() { return removed_.values(); }
  std::shared_ptr<platform::TcpConnection> lastConnection() {
    std::lock_guard lock(mutex_);
    return last_;
  }

 protected:
  asio::awaitable<void> authenticateConnection(std::shared_ptr<platform::TcpConnection> connection,
                                               ConnectionID connectionID) override {
    {
      std::lock_guard lock(mutex_);
      last_ = connection;
    }
    authenticated_.add(connectionID);
    EXPECT_TRUE(executor().running_in_this_thread());
    EXPECT_EQ(pendingConnections_.count(connectionID), 1u);
    switch (onReady_) {
      case OnReady::keepPending:
        break;
      case OnReady::cancel:
        connection->cancel();
        break;
      case OnReady::readThenCancelOnError: {
        auto result = co_await connection->receiveAsync(1, 16);
        if (result.error) connection->cancel();
        break;
      }
    }
  }
  asio::awaitable<void> removeConnection(ConnectionID connectionID) override {
    EXPECT_TRUE(executor().running_in_this_thread());
    removed_.add(connectionID);
    co_await ListeningServer::removeConnection(connectionID);
  }

 private:
  RecordingServer(Configuration configuration, OnReady onReady)
      : ListeningServer(makeActorStrand(), std::move(configuration)), onReady_(onReady) {}

  static asio::awaitable<void> call(std::function<void()> step) {
    step();
    co_return;
  }
  // Runs `read` on the server's strand, after everything already queued there.
  template <class T>
  T onStrand(std::function<T()> read) {
    std::optional<T> result;
    std::function<void()> step = [&] { result = read(); };
    runBlocking(runOn(executor(), call(std::move(step))));
    return *result;
  }

  const OnReady onReady_;
  std::mutex mutex_;
  veltrano::testing::RecordedValues<ConnectionID> authenticated_;
  veltrano::testing::RecordedValues<ConnectionID> removed_;
  std::shared_ptr<platform::TcpConnection> last_;
};

// Hands out scripted listeners, one per start, and remembers them.
struct ScriptedFactory {
  bool reportsCancellation = true;
  std::mutex mutex;
  std::vector<std::shared_ptr<ScriptedListener>> made;

  ListeningServer::ListenerFactory factory() {
    return [this](std::uint16_t, const platform::TcpParameters&) {
      auto listener = std::make_shared<ScriptedListener>(reportsCancellation);
      std::lock_guard lock(mutex);
      made.push_back(listener);
      return listener;
    };
  }
  std::size_t count() {
    std::lock_guard lock(mutex);
    return made.size();
  }
  // The listener has been started, so its handlers are installed and a report reaches the server.
  bool started(std::size_t count) {
    std::lock_guard lock(mutex);
    return made.size() == count && made.back()->startCount() == 1;
  }
  std::shared_ptr<ScriptedListener> at(std::size_t i) {
    std::lock_guard lock(mutex);
    return made.at(i);
  }
};

std::future<void> startInBackground(const std::shared_ptr<RecordingServer>& server) {
  return std::async(std::launch::async, [server] { runBlocking(server->start()); });
}

std::size_t countLines(const ScopedLogCapture& capture, std::string_view prefix) {
  auto messages = capture.messages();
  return static_cast<std::size_t>(
      std::count_if(messages.begin(), messages.end(), [&](const std::string& m) { return m.rfind(prefix, 0) == 0; }));
}

class ListeningServerTest : public ::testing::Test {
 protected:
  ListeningServer::Configuration scripted() {
    ListeningServer::Configuration configuration;
    configuration.port = 9090;
    configuration.serviceClass = platform::ServiceClass::responsiveData;
    configuration.logLines = controlLikeLines();
    configuration.makeListener = factory.factory();
    return configuration;
  }

  ScopedLogCapture logs;
  ScriptedFactory factory;
};

}  // namespace

TEST_F(ListeningServerTest, TwoStartsWaitTogetherAndAReadyServerReturnsAtOnce) {
  auto server = RecordingServer::make(scripted());
  auto first = startInBackground(server);
  ASSERT_TRUE(eventually([&] { return factory.started(1); }));
  auto second = startInBackground(server);
  ASSERT_TRUE(eventually([&] { return server->waiterCount() == 2; }));

  factory.at(0)->report(NetworkState::setup());
  factory.at(0)->report(NetworkState::waiting(boost::asio::error::network_down));
  EXPECT_EQ(server->waiterCount(), 2u);

  factory.at(0)->report(NetworkState::ready());
  first.get();
  second.get();
  runBlocking(server->start());  // ready: no second listener
  EXPECT_EQ(factory.count(), 1u);
  EXPECT_EQ(server->listeningPort(), 4242);

  // A second ready for the same generation changes nothing: one listening line only.
  factory.at(0)->report(NetworkState::ready());
  EXPECT_TRUE(server->listening());  // the report is handled on the strand before this
  EXPECT_EQ(countLines(logs, "Listening on port 4242"), 1u);
  runBlocking(server->stop());
}

TEST_F(ListeningServerTest, StopWhileWaitingFailsTheWaitersAndWaitsForTheCancelledListener) {
  auto server = RecordingServer::make(scripted());
  auto first = startInBackground(server);
  auto second = startInBackground(server);
  ASSERT_TRUE(eventually([&] { return factory.started(1) && server->waiterCount() == 2; }));
  factory.at(0)->report(NetworkState::waiting(boost::asio::error::network_down));
  EXPECT_EQ(server->waiterCount(), 2u);

  runBlocking(server->stop());
  EXPECT_THROW(first.get(), CancellationError);
  EXPECT_THROW(second.get(), CancellationError);
  auto listener = factory.at(0);
  EXPECT_EQ(listener->cancelCount(), 1);
  EXPECT_FALSE(listener->hasNewConnectionHandler());
  // The cancellation went to the waiter, not to the server: no "Listener cancelled" line.
  EXPECT_EQ(countLines(logs, "Listener cancelled"), 0u);
  EXPECT_FALSE(server->listening());

  // A late ready of the stopped listener changes nothing.
  listener->reportThroughFirstHandler(NetworkState::ready());
  EXPECT_FALSE(server->listening());  // the report is handled on the strand before this
  EXPECT_EQ(server->listeningPort(), 0);
  EXPECT_EQ(countLines(logs, "Listening on port"), 0u);
}

TEST_F(ListeningServerTest, StatesOfAnOlderListenerAreIgnoredAfterANewerStart) {
  auto server = RecordingServer::make(scripted());
  auto first = startInBackground(server);
  ASSERT_TRUE(eventually([&] { return factory.started(1); }));
  const auto oldGeneration = server->generation();
  ASSERT_TRUE(oldGeneration);
  runBlocking(server->stop());
  EXPECT_THROW(first.get(), CancellationError);

  auto second = startInBackground(server);
  ASSERT_TRUE(eventually([&] { return factory.started(2) && server->waiterCount() == 1; }));
  EXPECT_NE(server->generation(), oldGeneration);
  // Old listener's late reports, and a report carrying the old generation: ignored.
  factory.at(0)->reportThroughFirstHandler(NetworkState::ready());
  factory.at(0)->reportThroughFirstHandler(NetworkState::failed(boost::asio::error::connection_refused));
  server->reportState(NetworkState::ready(), *oldGeneration);
  EXPECT_EQ(server->waiterCount(), 1u);
  EXPECT_TRUE(server->listening());
  EXPECT_EQ(countLines(logs, "Listener failed"), 0u);

  factory.at(1)->report(NetworkState::ready());
  second.get();
  runBlocking(server->stop());
}

TEST_F(ListeningServerTest, AFailedListenerFailsItsWaitersWithItsErrorAndTheServerCanStartAgain) {
  auto server = RecordingServer::make(scripted());
  auto first = startInBackground(server);
  auto second = startInBackground(server);
  ASSERT_TRUE(eventually([&] { return factory.started(1) && server->waiterCount() == 2; }));
  factory.at(0)->report(NetworkState::failed(boost::asio::error::address_in_use));
  for (auto* f : {&first, &second}) {
    try {
      f->get();
      ADD_FAILURE() << "start() returned for a failed listener";
    } catch (const platform::NetworkError& error) {
      EXPECT_EQ(error.code(), boost::asio::error::address_in_use);
    }
  }
  EXPECT_FALSE(server->listening());
  EXPECT_FALSE(factory.at(0)->hasStateHandler());
  EXPECT_FALSE(factory.at(0)->hasNewConnectionHandler());
  auto lines = logs.lines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0], (CapturedLogLine{LogCategory::Error,
                                       "Listener failed: " + boost::system::error_code(boost::asio::error::address_in_use).message()}));

  auto again = startInBackground(server);
  ASSERT_TRUE(eventually([&] { return factory.started(2); }));
  factory.at(1)->report(NetworkState::ready());
  again.get();
  runBlocking(server->stop());
}

TEST_F(ListeningServerTest, AListenerCancelledByTheSystemFailsTheWaitersWithCancellation) {
  auto server = RecordingServer::make(scripted());
  auto first = startInBackground(server);
  ASSERT_TRUE(eventually([&] { return factory.started(1); }));
  factory.at(0)->report(NetworkState::cancelled());
  EXPECT_THROW(first.get(), CancellationError);
  EXPECT_EQ(logs.lines(), (std::vector<CapturedLogLine>{{LogCategory::NET, "Listener cancelled"}}));
  EXPECT_FALSE(server->listening());
}

TEST_F(ListeningServerTest, AListenerThatCannotBeCreatedFailsStartAndNothingIsKept) {
  auto configuration = scripted();
  int attempts = 0;
  configuration.makeListener = [&](std::uint16_t, const platform::TcpParameters&)
      -> std::shared_ptr<platform::NetworkListener> {
    ++attempts;
    throw std::invalid_argument("bad port");
  };
  auto server = RecordingServer::make(configuration);
  EXPECT_THROW(runBlocking(server->start()), std::invalid_argument);
  EXPECT_FALSE(server->listening());
  EXPECT_THROW(runBlocking(server->start()), std::invalid_argument);
  EXPECT_EQ(attempts, 2);
}

TEST(CancelAndWaitTest, ReturnsOnCancelledOrFailedOnceAndOnTheSafetyTimeOut) {
  MainLoopForTests loop;
  // Reports cancelled from inside cancel().
  auto reporting = std::make_shared<ScriptedListener>(true);
  bool firstDone = false;
  auto first = Task::spawn(mainExecutor(), [&](TaskToken) -> asio::awaitable<void> {
    co_await cancelAndWait(reporting, 10s);
    firstDone = true;
  });
  ASSERT_TRUE(loop.runUntil([&] { return firstDone; }));
  EXPECT_EQ(reporting->cancelCount(), 1);

  // Reports failed later, then cancelled; the first report returns it, the second does nothing.
  auto silent = std::make_shared<ScriptedListener>(false);
  bool secondDone = false;
  auto second = Task::spawn(mainExecutor(), [&](TaskToken) -> asio::awaitable<void> {
    co_await cancelAndWait(silent, 10s);
    secondDone = true;
  });
  loop.drain();
  EXPECT_FALSE(secondDone);
  silent->report(NetworkState::waiting(boost::asio::error::network_down));
  loop.drain();
  EXPECT_FALSE(secondDone);
  silent->report(NetworkState::failed(boost::asio::error::network_down));
  silent->report(NetworkState::cancelled());
  ASSERT_TRUE(loop.runUntil([&] { return secondDone; }));
  EXPECT_TRUE(second.isFinished());

  // Never reports: the safety time-out ends the wait.
  auto mute = std::make_shared<ScriptedListener>(false);
  bool thirdDone = false;
  auto start = std::chrono::steady_clock::now();
  auto third = Task::spawn(mainExecutor(), [&](TaskToken) -> asio::awaitable<void> {
    co_await cancelAndWait(mute, 150ms);
    thirdDone = true;
  });
  ASSERT_TRUE(loop.runUntil([&] { return thirdDone; }));
  EXPECT_GE(std::chrono::steady_clock::now() - start, 150ms);
  mute->report(NetworkState::cancelled());  // too late: nothing happens
  loop.drain();
}

TEST(NWListenerCancellationWaiterTest, ResumesOnlyOnceFromManyThreads) {
  MainLoopForTests loop;
  Continuation<> continuation;
  NWListenerCancellationWaiter waiter(continuation);
  std::atomic<int> resumed{0};
  std::vector<std::thread> threads;
  for (int i = 0; i < 8; ++i) threads.emplace_back([&] { resumed += waiter.resumeOnce() ? 1 : 0; });
  for (auto& t : threads) t.join();
  EXPECT_EQ(resumed.load(), 1);
  EXPECT_TRUE(continuation.isResumed());
}

// --- Over real TCP ---

class ListeningServerTcpTest : public ::testing::Test {
 protected:
  ListeningServer::Configuration real() {
    ListeningServer::Configuration configuration;
    configuration.port = 0;
    configuration.serviceClass = platform::ServiceClass::responsiveData;
    configuration.logLines = controlLikeLines();
    return configuration;
  }
  std::shared_ptr<platform::TcpConnection> connectClient(std::uint16_t port) {
    return runBlocking(
        platform::TcpConnection::connect("127.0.0.1", port, platform::TcpParameters{}, sharedIo().executor()));
  }

  ScopedLogCapture logs;
};

TEST_F(ListeningServerTcpTest, StartListensAndTheAcceptPathReachesAuthenticationOnTheServersExecutor) {
  auto server = RecordingServer::make(real(), RecordingServer::OnReady::keepPending);
  runBlocking(server->start());
  const auto port = server->listeningPort();
  ASSERT_NE(port, 0);
  EXPECT_EQ(logs.lines(), (std::vector<CapturedLogLine>{{LogCategory::NET, "Listening on port " + std::to_string(port)}}));

  auto a = connectClient(port);
  auto b = connectClient(port);
  ASSERT_TRUE(eventually([&] { return server->authenticated().size() == 2; }));
  EXPECT_EQ(server->pendingCount(), 2u);

  // Stop cancels pending connections without their state lines.
  runBlocking(server->stop());
  EXPECT_EQ(server->pendingCount(), 0u);
  EXPECT_TRUE(runBlocking(a->receiveAsync(1, 8)).isEndOfStream());
  EXPECT_TRUE(runBlocking(b->receiveAsync(1, 8)).isEndOfStream());
  EXPECT_EQ(countLines(logs, "Disconnected"), 0u);
  EXPECT_EQ(countLines(logs, "Listener cancelled"), 0u);
  EXPECT_TRUE(server->removed().empty());

  // The same server starts again, on a fresh listener.
  runBlocking(server->start());
  EXPECT_NE(server->listeningPort(), 0);
  runBlocking(server->stop());
}

TEST_F(ListeningServerTcpTest, ACancelledConnectionLogsItsLineAndIsRemoved) {
  auto server = RecordingServer::make(real(), RecordingServer::OnReady::cancel);
  runBlocking(server->start());
  auto client = connectClient(server->listeningPort());
  ASSERT_TRUE(eventually([&] { return server->removed().size() == 1; }));
  EXPECT_EQ(server->removed(), server->authenticated());
  EXPECT_EQ(server->pendingCount(), 0u);
  EXPECT_EQ(countLines(logs, "Disconnected"), 1u);
  runBlocking(server->stop());
}

TEST_F(ListeningServerTcpTest, ConnectionLinesAreThrottledAcrossTheListener) {
  VirtualClock clock;
  auto configuration = real();
  configuration.clock = &clock;
  auto server = RecordingServer::make(configuration, RecordingServer::OnReady::cancel);
  runBlocking(server->start());
  std::vector<std::shared_ptr<platform::TcpConnection>> clients;
  for (std::size_t i = 1; i <= 25; ++i) {
    clients.push_back(connectClient(server->listeningPort()));
    ASSERT_TRUE(eventually([&] { return server->removed().size() == i; }));
  }
  EXPECT_EQ(countLines(logs, "Disconnected"), 20u);

  clock.advance(10s);
  clients.push_back(connectClient(server->listeningPort()));
  ASSERT_TRUE(eventually([&] { return countLines(logs, "Disconnected") == 21; }));
  EXPECT_EQ(logs.messages().back(), "Disconnected (5 similar lines left out)");
  runBlocking(server->stop());
}

TEST_F(ListeningServerTcpTest, AFailedConnectionLogsItsErrorAndIsRemoved) {
  auto server = RecordingServer::make(real(), RecordingServer::OnReady::readThenCancelOnError);
  runBlocking(server->start());
  auto client = connectClient(server->listeningPort());
  ASSERT_TRUE(eventually([&] { return server->authenticated().size() == 1; }));
  struct linger hard {1, 0};
  ASSERT_EQ(::setsockopt(client->nativeHandleForInspection(), SOL_SOCKET, SO_LINGER, &hard, sizeof hard), 0);
  client->cancel();  // a reset
  ASSERT_TRUE(eventually([&] { return server->removed().size() >= 1; }));
  ASSERT_TRUE(eventually([&] { return countLines(logs, "Disconnected") == 1; }));
  auto lines = logs.lines();
  auto failed = std::find_if(lines.begin(), lines.end(),
                             [](const CapturedLogLine& l) { return l.message.rfind("Connection failed: ", 0) == 0; });
  ASSERT_NE(failed, lines.end());
  EXPECT_EQ(failed->category, LogCategory::Error);
  EXPECT_EQ(failed->message, "Connection failed: " + boost::system::error_code(boost::asio::error::connection_reset).message());
  EXPECT_EQ(server->pendingCount(), 0u);
  runBlocking(server->stop());
}
