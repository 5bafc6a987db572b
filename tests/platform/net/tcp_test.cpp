#include <gtest/gtest.h>

#include <netinet/in.h>
#include <netinet/ip.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <future>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <thread>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/io_context.hpp>

#include "base/thread_pools.hpp"
#include "platform/net/network_error.hpp"
#include "platform/net/tcp_connection.hpp"
#include "platform/net/tcp_listener.hpp"
#include "platform/net/net_test_support.hpp"
#include "support/recorded_values.hpp"
#include "base/encoding.hpp"
#include "support/eventually.hpp"

using namespace veltrano;
using namespace veltrano::platform;
using namespace std::chrono_literals;
using Kind = NetworkState::Kind;
using veltrano::testing::runBlocking;
using veltrano::testing::StateRecorder;

namespace {

TcpParameters serverParameters(ServiceClass serviceClass = ServiceClass::responsiveData) {
  TcpParameters p;
  p.noDelay = true;
  p.enableKeepalive = true;
  p.keepaliveIdle = 3s;
  p.keepaliveInterval = 2s;
  p.keepaliveCount = 3;
  p.serviceClass = serviceClass;
  return p;
}

// A started listener that keeps the connections it accepts.
struct RunningListener {
  explicit RunningListener(std::uint16_t port = 0, TcpParameters parameters = serverParameters())
      : listener(TcpListener::create(port, parameters)) {
    listener->setStateHandler(states.handler());
    listener->setNewConnectionHandler(accepted.recorder());
    listener->start(sharedIo().executor());
  }
  ~RunningListener() {
    listener->cancel();
    states.waitFor(Kind::cancelled);  // the handler refers to this object
    for (auto& c : accepted.values()) {
      c->setStateHandler(nullptr);  // tests' recorders may be gone already
      c->cancel();
    }
  }
  std::shared_ptr<TcpConnection> nextAccepted(std::size_t index = 0) {
    return accepted.waitForValue(index, 5s).value_or(nullptr);
  }
  std::uint16_t port() const { return listener->port().value_or(0); }

  std::shared_ptr<TcpListener> listener;
  StateRecorder states;
  veltrano::testing::RecordedValues<std::shared_ptr<TcpConnection>> accepted;
};

std::shared_ptr<TcpConnection> connectTo(const std::string& host, std::uint16_t port) {
  return runBlocking(TcpConnection::connect(host, port, TcpParameters{}, sharedIo().executor()));
}

// Starts an accepted connection and waits until it is ready.
void startAndWaitReady(const std::shared_ptr<TcpConnection>& connection, StateRecorder& states) {
  connection->setStateHandler(states.handler());
  connection->start(sharedIo().executor());
  ASSERT_TRUE(states.waitFor(Kind::ready));
}

int intOption(int fd, int level, int name) {
  int value = -1;
  socklen_t size = sizeof value;
  if (::getsockopt(fd, level, name, &value, &size) != 0) return -1;
  return value;
}

Bytes bytesOf(std::string_view text) {
  auto view = asBytes(text);
  return Bytes(view.begin(), view.end());
}

}  // namespace

TEST(TcpListenerTest, PortZeroBindsAPortAcceptingOverIPv4AndIPv6WithKeepAliveNoDelayAndTheServiceClass) {
  for (const auto& [serviceClass, codePoint] : {std::pair{ServiceClass::bestEffort, 0x00},
                                                {ServiceClass::responsiveData, 0x48},
                                                {ServiceClass::interactiveVideo, 0x88},
                                                {ServiceClass::interactiveVoice, 0xB8}}) {
    RunningListener server(0, serverParameters(serviceClass));
    StateRecorder acceptedStates[2];
    ASSERT_TRUE(server.states.waitFor(Kind::ready));
    EXPECT_EQ(server.states.kinds(), (std::vector<Kind>{Kind::ready}));
    ASSERT_NE(server.port(), 0);
    std::size_t index = 0;
    for (const char* host : {"127.0.0.1", "::1"}) {
      SCOPED_TRACE(std::string(host) + " class " + std::to_string(codePoint));
      auto client = connectTo(host, server.port());
      auto accepted = server.nextAccepted(index);
      ASSERT_NE(accepted, nullptr);
      const int fd = accepted->nativeHandleForInspection();
      EXPECT_EQ(intOption(fd, SOL_SOCKET, SO_KEEPALIVE), 1);
      EXPECT_EQ(intOption(fd, IPPROTO_TCP, TCP_KEEPIDLE), 3);
      EXPECT_EQ(intOption(fd, IPPROTO_TCP, TCP_KEEPINTVL), 2);
      EXPECT_EQ(intOption(fd, IPPROTO_TCP, TCP_KEEPCNT), 3);
      EXPECT_EQ(intOption(fd, IPPROTO_TCP, TCP_NODELAY), 1);
      EXPECT_EQ(intOption(fd, IPPROTO_IP, IP_TOS), codePoint);
      startAndWaitReady(accepted, acceptedStates[index++]);
      runBlocking(client->sendAsync(bytesOf("hello")));
      EXPECT_EQ(asString(runBlocking(accepted->receiveExactly(5)).value()), "hello");
      runBlocking(accepted->sendAsync(bytesOf("back")));
      EXPECT_EQ(asString(runBlocking(client->receiveExactly(4)).value()), "back");
      client->cancel();
    }
  }
}

TEST(TcpListenerTest, CancelIsIdempotentReportsCancelledOnceAndFreesThePortAtOnce) {
  auto server = std::make_unique<RunningListener>();
  ASSERT_TRUE(server->states.waitFor(Kind::ready));
  const auto port = server->port();

  // Leave a connection in TIME_WAIT on the server's side: the server closes first.
  auto client = connectTo("127.0.0.1", port);
  StateRecorder acceptedStates;
  auto accepted = server->nextAccepted();
  startAndWaitReady(accepted, acceptedStates);
  accepted->cancel();
  auto eof = runBlocking(client->receiveAsync(1, 16));
  EXPECT_TRUE(eof.isEndOfStream());
  client->cancel();

  std::vector<std::thread> cancellers;
  for (int i = 0; i < 4; ++i) cancellers.emplace_back([&] { server->listener->cancel(); });
  for (auto& t : cancellers) t.join();
  ASSERT_TRUE(server->states.waitFor(Kind::cancelled));
  std::this_thread::sleep_for(50ms);
  EXPECT_EQ(server->states.kinds(), (std::vector<Kind>{Kind::ready, Kind::cancelled}));

  RunningListener again(port);
  ASSERT_TRUE(again.states.waitFor(Kind::ready)) << platform::describe(again.states.states().front());
  EXPECT_EQ(again.port(), port);
}

// A program started while the host listens (a browser opened from the window) must not keep its ports or its
// clients' connections once the host lets them go.
TEST(TcpListenerTest, AProgramStartedWhileListeningHoldsNeitherThePortNorTheConnections) {
  auto server = std::make_unique<RunningListener>();
  ASSERT_TRUE(server->states.waitFor(Kind::ready));
  const auto port = server->port();
  auto client = connectTo("127.0.0.1", port);
  StateRecorder acceptedStates;
  auto accepted = server->nextAccepted();
  startAndWaitReady(accepted, acceptedStates);

  struct SpawnedChild {
    pid_t pid = 0;
    ~SpawnedChild() {
      if (pid == 0) return;
      ::kill(pid, SIGKILL);
      ::waitpid(pid, nullptr, 0);
    }
  } child;
  char sleepProgram[] = "sleep";
  char seconds[] = "30";
  char* arguments[] = {sleepProgram, seconds, nullptr};
  ASSERT_EQ(::posix_spawnp(&child.pid, "sleep", nullptr, nullptr, arguments, environ), 0);

  accepted->cancel();
  bool clientSawTheClose = false;
  try {
    // The program lives 30 s: a close that waited for it would not come within this.
    clientSawTheClose = runBlocking(client->receiveAsync(1, 16), 15s).isEndOfStream();
  } catch (const std::runtime_error&) {
  }
  EXPECT_TRUE(clientSawTheClose) << "the program holds the accepted connection open";
  client->cancel();
  server->listener->cancel();
  ASSERT_TRUE(server->states.waitFor(Kind::cancelled));
  server.reset();

  RunningListener again(port);
  const bool ready = again.states.waitFor(Kind::ready);
  ASSERT_TRUE(ready) << platform::describe(again.states.states().front());
}

TEST(TcpListenerTest, APortInUseFailsWithTheErrorAndCancelStillEndsIt) {
  RunningListener first;
  ASSERT_TRUE(first.states.waitFor(Kind::ready));
  RunningListener second(first.port());
  ASSERT_TRUE(second.states.waitFor(Kind::failed));
  auto states = second.states.states();
  EXPECT_EQ(states.front().error, boost::system::errc::address_in_use);
  EXPECT_FALSE(second.listener->port());
  second.listener->cancel();
  ASSERT_TRUE(second.states.waitFor(Kind::cancelled));
  EXPECT_EQ(second.states.kinds(), (std::vector<Kind>{Kind::failed, Kind::cancelled}));
}

TEST(TcpConnectionTest, StatesArriveInOrderAndCancelReportsOnceFromAnyThread) {
  RunningListener server;
  ASSERT_TRUE(server.states.waitFor(Kind::ready));
  auto client = TcpConnection::create("127.0.0.1", server.port(), TcpParameters{});
  StateRecorder clientStates;
  client->setStateHandler(clientStates.handler());
  client->start(sharedIo().executor());
  ASSERT_TRUE(clientStates.waitFor(Kind::ready));

  StateRecorder acceptedStates;
  auto accepted = server.nextAccepted();
  startAndWaitReady(accepted, acceptedStates);
  std::vector<std::thread> cancellers;
  for (int i = 0; i < 4; ++i) cancellers.emplace_back([&] { accepted->cancel(); });
  for (auto& t : cancellers) t.join();
  ASSERT_TRUE(acceptedStates.waitFor(Kind::cancelled));
  client->cancel();
  ASSERT_TRUE(clientStates.waitFor(Kind::cancelled));
  std::this_thread::sleep_for(50ms);
  EXPECT_EQ(acceptedStates.kinds(), (std::vector<Kind>{Kind::preparing, Kind::ready, Kind::cancelled}));
  EXPECT_EQ(clientStates.kinds(), (std::vector<Kind>{Kind::preparing, Kind::ready, Kind::cancelled}));
}

TEST(TcpConnectionTest, ARefusedConnectFails) {
  std::uint16_t freePort;
  {
    RunningListener probe;
    ASSERT_TRUE(probe.states.waitFor(Kind::ready));
    freePort = probe.port();
    probe.listener->cancel();
    ASSERT_TRUE(probe.states.waitFor(Kind::cancelled));
  }
  try {
    connectTo("127.0.0.1", freePort);
    FAIL() << "connected to a closed port";
  } catch (const NetworkError& error) {
    EXPECT_EQ(error.code(), boost::system::errc::connection_refused);
  }
}

class ConnectedPairTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(server.states.waitFor(Kind::ready));
    client = connectTo("127.0.0.1", server.port());
    accepted = server.nextAccepted();
    ASSERT_NE(accepted, nullptr);
    startAndWaitReady(accepted, acceptedStates);
  }
  void TearDown() override {
    if (client) client->cancel();
  }

  RunningListener server;
  std::shared_ptr<TcpConnection> client;
  std::shared_ptr<TcpConnection> accepted;
  StateRecorder acceptedStates;
};

TEST_F(ConnectedPairTest, ClearingTheHandlerBeforeCancelSilencesTheCancellation) {
  accepted->setStateHandler(nullptr);
  accepted->cancel();
  EXPECT_EQ(runBlocking(accepted->receiveAsync(1, 10)).error, boost::asio::error::operation_aborted);
  EXPECT_EQ(acceptedStates.kinds(), (std::vector<Kind>{Kind::preparing, Kind::ready}));
}

TEST_F(ConnectedPairTest, ExactReadsGatherSplitWritesAndNeverReadAhead) {
  // The receive is issued before any byte arrives; the writes come in three pieces.
  auto pending = std::async(std::launch::async, [&] { return runBlocking(accepted->receiveExactly(8)); });
  runBlocking(client->sendAsync(bytesOf("abc")));
  std::this_thread::sleep_for(20ms);
  runBlocking(client->sendAsync(bytesOf("de")));
  std::this_thread::sleep_for(20ms);
  runBlocking(client->sendAsync(bytesOf("fgh-rest")));
  auto first = pending.get();
  ASSERT_TRUE(first);
  EXPECT_EQ(asString(*first), "abcdefgh");
  // What followed is still there for the next receive, bounded by its maximum.
  auto next = runBlocking(accepted->receiveAsync(1, 3));
  EXPECT_EQ(asString(next.content), "-re");
  EXPECT_FALSE(next.isComplete);
  EXPECT_EQ(asString(runBlocking(accepted->receiveExactly(2)).value()), "st");
}

TEST_F(ConnectedPairTest, ReadsIntoAKeptBufferNeverGoPastTheirMaximum) {
  // A small message into a large receive leaves the connection a spare buffer larger than what follows asks.
  runBlocking(client->sendAsync(bytesOf("abc")));
  auto first = runBlocking(accepted->receiveAsync(1, 100000));
  EXPECT_EQ(asString(first.content), "abc");
  EXPECT_LT(first.content.capacity(), 1000u) << "a few bytes should not hold a large buffer";

  runBlocking(client->sendAsync(bytesOf("defghij")));
  EXPECT_EQ(asString(runBlocking(accepted->receiveExactly(2)).value()), "de");
  auto rest = runBlocking(accepted->receiveAsync(1, 100));
  EXPECT_EQ(asString(rest.content), "fghij");
  // A large message after small ones arrives whole.
  std::string large(300000, 'x');
  for (std::size_t i = 0; i < large.size(); i += 997) large[i] = static_cast<char>('a' + i % 26);
  runBlocking(client->sendAsync(bytesOf(large)));
  EXPECT_EQ(asString(runBlocking(accepted->receiveExactly(large.size())).value()), large);
}

TEST_F(ConnectedPairTest, EndOfStreamIsReportedDistinctly) {
  runBlocking(client->sendAsync(bytesOf("xyz")));
  client->cancel();
  // Fewer bytes than asked for, then the end: delivered with isComplete.
  auto partial = runBlocking(accepted->receiveAsync(10, 10));
  EXPECT_EQ(asString(partial.content), "xyz");
  EXPECT_TRUE(partial.isComplete);
  EXPECT_FALSE(partial.error);
  auto end = runBlocking(accepted->receiveAsync(1, 10));
  EXPECT_TRUE(end.isEndOfStream());
  EXPECT_FALSE(runBlocking(accepted->receiveExactly(4)).has_value());
  // The end of the peer's stream is not a failure of the connection.
  EXPECT_EQ(acceptedStates.kinds(), (std::vector<Kind>{Kind::preparing, Kind::ready}));
}

TEST_F(ConnectedPairTest, SendsCompleteInOrderAndArriveInOrder) {
  constexpr int kSends = 200;
  std::mutex mutex;
  std::vector<int> completions;
  std::atomic<int> done{0};
  std::string expected;
  for (int i = 0; i < kSends; ++i) {
    std::string chunk = std::to_string(i) + ";" + std::string(static_cast<std::size_t>(i * 97 % 3000), 'x') + "|";
    expected += chunk;
    accepted->send(bytesOf(chunk), [&, i](boost::system::error_code ec) {
      EXPECT_FALSE(ec);
      std::lock_guard lock(mutex);
      completions.push_back(i);
      ++done;
    });
  }
  auto all = runBlocking(client->receiveExactly(expected.size()));
  ASSERT_TRUE(all);
  EXPECT_EQ(asString(*all), expected);
  ASSERT_TRUE(veltrano::testing::eventually([&] { return done == kSends; }));
  std::lock_guard lock(mutex);
  ASSERT_EQ(completions.size(), static_cast<std::size_t>(kSends));
  for (int i = 0; i < kSends; ++i) EXPECT_EQ(completions[static_cast<std::size_t>(i)], i);
}

TEST_F(ConnectedPairTest, AnImmediateSendOnAnIdleConnectionIsWrittenByTheCaller) {
  std::optional<std::thread::id> completedOn;
  accepted->sendImmediately(bytesOf("now"), [&](boost::system::error_code ec) {
    EXPECT_FALSE(ec);
    completedOn = std::this_thread::get_id();
  });
  EXPECT_EQ(completedOn, std::this_thread::get_id()) << "completed before sendImmediately() returned";
  EXPECT_EQ(asString(runBlocking(client->receiveExactly(3)).value()), "now");
}

TEST_F(ConnectedPairTest, WhatTheKernelDoesNotTakeAtOnceIsQueuedAheadOfLaterSends) {
  // Far more than loopback buffers hold while the peer reads nothing: the first write is partial.
  Bytes big(32u << 20);
  for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<std::uint8_t>(i * 7 + i / 4093);
  std::mutex mutex;
  std::vector<std::pair<int, boost::system::error_code>> completions;
  auto record = [&](int which) {
    return [&, which](boost::system::error_code ec) {
      std::lock_guard lock(mutex);
      completions.emplace_back(which, ec);
    };
  };
  accepted->sendImmediately(big, record(1));
  accepted->send(bytesOf("-queued"), record(2));
  accepted->sendImmediately(bytesOf("-immediate"), record(3));

  auto all = runBlocking(client->receiveExactly(big.size() + 17));
  ASSERT_TRUE(all);
  EXPECT_TRUE(std::equal(big.begin(), big.end(), all->begin())) << "the large send arrived damaged";
  EXPECT_EQ(asString(Bytes(all->begin() + static_cast<std::ptrdiff_t>(big.size()), all->end())), "-queued-immediate");
  ASSERT_TRUE(veltrano::testing::eventually([&] {
    std::lock_guard lock(mutex);
    return completions.size() == 3;
  }));
  std::lock_guard lock(mutex);
  ASSERT_EQ(completions.size(), 3u);
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(completions[static_cast<std::size_t>(i)].first, i + 1);
    EXPECT_FALSE(completions[static_cast<std::size_t>(i)].second);
  }
}

TEST_F(ConnectedPairTest, BytesMadeUnderTheSendLockArriveWholeInTheOrderTheyWereMade) {
  // A failing maker sends nothing and leaves the lock free.
  EXPECT_THROW(accepted->sendMade([]() -> Bytes { throw std::runtime_error("sealing failed"); },
                                  TcpConnection::SendPath::immediate, TcpConnection::unlimitedQueue),
               std::runtime_error);
  // Two threads, one on each path, number their chunks from one counter as the send lock lets them make them
  // (the counter needs no lock of its own).
  constexpr int kEach = 400;
  auto chunk = [](int n) { return std::to_string(n) + ":" + std::string(static_cast<std::size_t>(n * 131 % 2500), 'x') + "|"; };
  std::size_t total = 0;
  for (int n = 0; n < 2 * kEach; ++n) total += chunk(n).size();
  int made = 0;
  auto makeNext = [&] { return bytesOf(chunk(made++)); };
  auto sendAll = [&](TcpConnection::SendPath path) {
    for (int i = 0; i < kEach; ++i) accepted->sendMade(makeNext, path, TcpConnection::unlimitedQueue);
  };
  std::thread queued(sendAll, TcpConnection::SendPath::queued);
  std::thread immediate(sendAll, TcpConnection::SendPath::immediate);
  queued.join();
  immediate.join();

  auto all = runBlocking(client->receiveExactly(total));
  ASSERT_TRUE(all);
  const std::string text = asString(*all);
  std::size_t at = 0;
  for (int n = 0; n < 2 * kEach; ++n) {
    const std::string expected = chunk(n);
    ASSERT_EQ(text.substr(at, expected.size()), expected) << "chunk " << n;
    at += expected.size();
  }
}

TEST_F(ConnectedPairTest, ASendOverTheQueueLimitIsRefusedAndEndsLaterSends) {
  // The client reads nothing for now: the kernel's buffers fill, then the queue.
  constexpr std::size_t kLimit = 1u << 20;
  const Bytes piece(64 * 1024, 0x5a);
  veltrano::testing::RecordedValues<boost::system::error_code> completions;
  using Outcome = TcpConnection::SendAdmission::Outcome;
  TcpConnection::SendAdmission admission;
  std::size_t acceptedBytes = 0;
  std::size_t sends = 0;
  do {
    admission = accepted->sendMade([&] { return piece; }, TcpConnection::SendPath::immediate, kLimit,
                                   completions.recorder());
    ++sends;
    if (admission.outcome == Outcome::accepted) acceptedBytes += piece.size();
    ASSERT_LE(accepted->queuedSendBytes(), kLimit);
  } while (admission.outcome == Outcome::accepted && sends < 10000);
  ASSERT_EQ(admission.outcome, Outcome::overLimit);
  EXPECT_GT(admission.queuedBytes, kLimit);
  EXPECT_LE(admission.queuedBytes, kLimit + piece.size());
  EXPECT_EQ(accepted->sendMade([] { return bytesOf("late"); }, TcpConnection::SendPath::queued,
                               TcpConnection::unlimitedQueue, completions.recorder())
                .outcome,
            Outcome::ended);

  // What was accepted still arrives whole; the refused sends complete with no_buffer_space.
  const auto all = runBlocking(client->receiveExactly(acceptedBytes));
  ASSERT_TRUE(all);
  EXPECT_TRUE(std::all_of(all->begin(), all->end(), [](std::uint8_t byte) { return byte == 0x5a; }));
  ASSERT_TRUE(completions.waitForCount(sends + 1));
  const auto results = completions.values();
  EXPECT_EQ(std::count(results.begin(), results.end(), boost::asio::error::no_buffer_space), 2);
  EXPECT_EQ(std::count(results.begin(), results.end(), boost::system::error_code()),
            static_cast<std::ptrdiff_t>(sends - 1));
  EXPECT_EQ(accepted->queuedSendBytes(), 0u);
}

TEST_F(ConnectedPairTest, CancelCompletesPendingReceivesAndLaterSendsWithAbort) {
  auto pending = std::async(std::launch::async, [&] { return runBlocking(accepted->receiveAsync(1, 100)); });
  std::this_thread::sleep_for(20ms);
  accepted->cancel();
  EXPECT_EQ(pending.get().error, boost::asio::error::operation_aborted);
  try {
    runBlocking(accepted->sendAsync(bytesOf("late")));
    FAIL() << "a send after cancel succeeded";
  } catch (const NetworkError& error) {
    EXPECT_EQ(error.code(), boost::asio::error::operation_aborted);
  }
  std::promise<boost::system::error_code> immediate;
  accepted->sendImmediately(bytesOf("late"), [&](boost::system::error_code ec) { immediate.set_value(ec); });
  EXPECT_EQ(immediate.get_future().get(), boost::asio::error::operation_aborted);
  // The peer sees the connection end.
  EXPECT_TRUE(runBlocking(client->receiveAsync(1, 10)).isEndOfStream());
}

TEST_F(ConnectedPairTest, AResetFailsTheConnectionWithItsError) {
  // An abortive close (linger 0) makes the peer's next read fail with a reset.
  struct linger hard {1, 0};
  ASSERT_EQ(::setsockopt(client->nativeHandleForInspection(), SOL_SOCKET, SO_LINGER, &hard, sizeof hard), 0);
  client->cancel();
  auto result = runBlocking(accepted->receiveAsync(1, 10));
  EXPECT_EQ(result.error, boost::system::errc::connection_reset);
  ASSERT_TRUE(acceptedStates.waitFor(Kind::failed));
  accepted->cancel();
  ASSERT_TRUE(acceptedStates.waitFor(Kind::cancelled));
  EXPECT_EQ(acceptedStates.kinds(), (std::vector<Kind>{Kind::preparing, Kind::ready, Kind::failed, Kind::cancelled}));
}

TEST(TcpConnectionTest, RequestsIssuedBeforeStartAreServedOnceReadyOrEndWithTheConnection) {
  RunningListener server;
  ASSERT_TRUE(server.states.waitFor(Kind::ready));
  auto client = connectTo("127.0.0.1", server.port());
  auto accepted = server.nextAccepted();
  ASSERT_NE(accepted, nullptr);
  std::promise<TcpConnection::ReceiveResult> received;
  accepted->receive(4, 4, [&](TcpConnection::ReceiveResult r) { received.set_value(std::move(r)); });
  accepted->send(bytesOf("early"));
  runBlocking(client->sendAsync(bytesOf("ping")));
  StateRecorder states;
  startAndWaitReady(accepted, states);
  auto result = received.get_future().get();
  EXPECT_EQ(asString(result.content), "ping");
  EXPECT_EQ(asString(runBlocking(client->receiveExactly(5)).value()), "early");
  client->cancel();

  // A connection dropped without ever starting ends its waiting requests as cancelled and closes its socket.
  auto other = connectTo("127.0.0.1", server.port());
  std::shared_ptr<TcpConnection> unstarted = server.nextAccepted(1);
  ASSERT_NE(unstarted, nullptr);
  boost::system::error_code receiveError, sendError;
  unstarted->receive(1, 1, [&](TcpConnection::ReceiveResult r) { receiveError = r.error; });
  unstarted->send(bytesOf("never"), [&](boost::system::error_code ec) { sendError = ec; });
  unstarted->cancel();
  server.accepted.remove(unstarted);
  unstarted.reset();
  EXPECT_EQ(receiveError, boost::asio::error::operation_aborted);
  EXPECT_EQ(sendError, boost::asio::error::operation_aborted);
  EXPECT_TRUE(runBlocking(other->receiveAsync(1, 8)).isEndOfStream());
  other->cancel();
}

// At the program's end the I/O threads may stop before a cancel runs. The dropped cancel still lets go of the
// coroutine waiting on the connection, which holds the connection: without that the two keep each other alive.
TEST(TcpConnectionTest, ACancelDroppedAtShutdownStillFreesTheConnectionAndItsWaiter) {
  RunningListener server;
  ASSERT_TRUE(server.states.waitFor(Kind::ready));
  auto client = connectTo("127.0.0.1", server.port());
  std::shared_ptr<TcpConnection> accepted = server.nextAccepted();
  ASSERT_NE(accepted, nullptr);
  server.accepted.remove(accepted);
  const std::weak_ptr<TcpConnection> weakAccepted = accepted;

  IoThreads stopped("stopped before the cancel runs", 0);
  boost::asio::io_context waiterThread;
  bool received = false;
  boost::asio::co_spawn(
      waiterThread,
      [accepted, &received]() -> boost::asio::awaitable<void> {
        co_await accepted->receiveAsync(1, 10);
        received = true;
      },
      boost::asio::detached);
  waiterThread.poll();  // the receive now waits in the connection
  accepted->start(stopped.executor());
  accepted->cancel();
  accepted.reset();
  stopped.discardQueued();  // as at the program's end: the cancel is dropped without running
  waiterThread.poll();  // the waiter's frames are destroyed on its own executor
  EXPECT_FALSE(received);
  EXPECT_TRUE(weakAccepted.expired());
  client->cancel();
}
