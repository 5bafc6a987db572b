// What the control server sends to one client: records made on several threads at once (replies on the main
// thread, broadcasts and file messages on the client's sequence) reach the client in sequence, ten clients served
// side by side each get their replies in their own order, a client that never reads is disconnected before the
// host holds more than its send-queue limit, a client closed for an invalid record still gets the replies
// already made for it, and a client that authenticates while broadcasts go out gets its hello first.
#include <boost/asio/awaitable.hpp>

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <atomic>
#include <map>
#include <thread>

#include "control_server_test_support.hpp"
#include "localserver/sealed_record_sender.hpp"
#include "transport/local_transport_handshake_driver.hpp"
#include "transport/local_transport_security_error.hpp"

namespace veltrano::test {
namespace {

TEST(ControlServerSending, RecordsMadeOnEveryThreadReachTheClientInSequence) {
  FileCollaborators files;
  ControlServerHarness harness(files.setup());
  harness.run(files.fileServer->start());
  harness.start();
  auto client = harness.connectAndGreet();

  constexpr int kCommands = 6000;            // every fourth a file message the coordinator answers
  constexpr int kBroadcastsPerThread = 2500;
  constexpr int kBroadcastThreads = 2;
  std::vector<std::thread> broadcasters;
  for (int thread = 0; thread < kBroadcastThreads; ++thread) {
    broadcasters.emplace_back([&harness] {
      for (int i = 0; i < kBroadcastsPerThread; ++i) {
        testing::runBlocking(harness.server->broadcast({{"type", "displayChanged"}, {"displayID", i}}));
      }
    });
  }
  for (int i = 0; i < kCommands; ++i) {
    client->sendJSONLine(i % 4 == 0 ? Json{{"type", "fileAccept"}, {"transferID", "unknown"}}
                                    : Json{{"type", "ping"}, {"timestamp", i}});
  }

  // The client's session opens every record and throws at the first one out of sequence.
  std::map<std::string, int> received;
  const int expected = kCommands + kBroadcastThreads * kBroadcastsPerThread;
  int total = 0;
  try {
    while (total < expected) {
      const std::optional<Json> message = harness.next(*client, 10s);
      if (!message) break;
      ++received[(*message)["type"].get<std::string>()];
      ++total;
    }
  } catch (const LocalTransportSecurityError& error) {
    ADD_FAILURE() << "after " << total << " records: " << error.what();
  }
  for (auto& broadcaster : broadcasters) broadcaster.join();
  EXPECT_EQ(received["pong"], kCommands * 3 / 4);
  EXPECT_EQ(received["fileError"], kCommands / 4);
  EXPECT_EQ(received["displayChanged"], kBroadcastThreads * kBroadcastsPerThread);
}

// Every client is served on a sequence of its own: ten clients that each send a flood of commands at once, while
// broadcasts go out, get every reply, and in their own commands' order, whichever thread made it (a pong on the
// client's sequence, a coordinator's message posted there from the main thread, an error from the main thread).
TEST(ControlServerSending, TenClientsFloodingAtOnceEachGetTheirRepliesInTheirOrder) {
  FileCollaborators files;
  ControlServerHarness harness(files.setup());
  harness.run(files.fileServer->start());
  harness.start();
  constexpr int kClients = 10;
  constexpr int kRounds = 150;  // each a ping, a file message and an unknown command
  std::vector<std::shared_ptr<LocalTestClient>> clients;
  for (int i = 0; i < kClients; ++i) clients.push_back(harness.connectAndGreet());

  constexpr int kBroadcasts = 500;
  std::thread broadcaster([&harness] {
    for (int i = 0; i < kBroadcasts; ++i) {
      testing::runBlocking(harness.server->broadcast({{"type", "displayChanged"}, {"displayID", i}}));
    }
  });
  std::vector<std::thread> senders;
  for (int i = 0; i < kClients; ++i) {
    senders.emplace_back([&clients, i] {
      for (int round = 0; round < kRounds; ++round) {
        clients[i]->sendJSONLine({{"type", "ping"}, {"timestamp", i * 1000 + round}});
        clients[i]->sendJSONLine({{"type", "fileAccept"}, {"transferID", "unknown"}});
        clients[i]->sendJSONLine({{"type", "c" + std::to_string(i) + "-" + std::to_string(round)}});
      }
    });
  }
  for (auto& sender : senders) sender.join();

  for (int i = 0; i < kClients; ++i) {
    int broadcasts = 0;
    for (int round = 0; round < kRounds; ++round) {
      std::vector<Json> replies;
      while (replies.size() < 3) {
        const std::optional<Json> message = harness.next(*clients[i], 10s);
        ASSERT_TRUE(message) << "client " << i << " round " << round << ": " << replies.size() << " replies";
        if ((*message)["type"] == "displayChanged") {
          EXPECT_EQ((*message)["displayID"], broadcasts++) << "client " << i;
          continue;
        }
        replies.push_back(*message);
      }
      ASSERT_EQ(replies[0]["type"], "pong") << "client " << i << " round " << round << ": " << replies[0].dump();
      ASSERT_EQ(replies[0]["clientTimestamp"], i * 1000 + round) << "client " << i;
      ASSERT_EQ(replies[1]["type"], "fileError") << "client " << i << " round " << round << ": " << replies[1].dump();
      ASSERT_EQ(replies[2]["message"], "unknown command: c" + std::to_string(i) + "-" + std::to_string(round))
          << "client " << i << ": " << replies[2].dump();
    }
  }
  broadcaster.join();
}

// A client is reached by broadcasts from its registration on, while its hello is still being made: those wait for
// the hello and then follow it, none lost and in their order.
TEST(ControlServerSending, TheHelloComesFirstWhileBroadcastsGoOutAsClientsAuthenticate) {
  ControlServerHarness harness;
  harness.start();
  std::atomic<bool> broadcasting{true};
  std::thread broadcaster([&] {
    for (int i = 0; broadcasting; ++i) {
      testing::runBlocking(harness.server->broadcast({{"type", "displayChanged"}, {"displayID", i}}));
    }
  });
  struct JoinAtEnd {
    std::atomic<bool>& running;
    std::thread& thread;
    ~JoinAtEnd() {
      running = false;
      thread.join();
    }
  } joinAtEnd{broadcasting, broadcaster};

  constexpr int kClients = 20;
  constexpr int kBroadcastsChecked = 5;
  for (int c = 0; c < kClients; ++c) {
    auto client = harness.connect();
    const std::optional<Json> first = harness.next(*client);
    ASSERT_TRUE(first) << "client " << c;
    ASSERT_EQ((*first)["type"], "hello") << "client " << c << ": " << first->dump();
    std::optional<std::int64_t> previous;
    for (int i = 0; i < kBroadcastsChecked; ++i) {
      const std::optional<Json> message = harness.next(*client);
      ASSERT_TRUE(message && (*message)["type"] == "displayChanged") << "client " << c;
      const auto displayID = (*message)["displayID"].get<std::int64_t>();
      if (previous) {
        ASSERT_EQ(displayID, *previous + 1) << "client " << c << ": a broadcast lost or out of order";
      }
      previous = displayID;
    }
  }
}

// A control client that sends commands and never reads what the host writes back.
struct SilentClient {
  std::shared_ptr<platform::TcpConnection> connection;
  std::shared_ptr<LocalTransportSession> session;
};

boost::asio::awaitable<SilentClient> connectSilently(std::uint16_t port, platform::SigningKey accountKey) {
  auto connection = co_await platform::TcpConnection::connect("127.0.0.1", port, platform::TcpParameters{},
                                                              sharedIo().executor());
  auto session = co_await clientHandshake(connection, LocalTransportChannel::control, std::move(accountKey),
                                          localHandshakeStepTimeout);
  co_return SilentClient{connection, session};
}

TEST(ControlServerSending, AClientThatNeverReadsIsDisconnectedAtTheQueueLimit) {
  ControlServerHarness harness;
  harness.start();
  SilentClient client = harness.run(connectSilently(harness.port(), harness.accountKey));
  ASSERT_TRUE(harness.waitFor([&] { return harness.publishedCounts() == std::vector<std::int64_t>{1}; }));

  // Each unknown command is answered with an error that repeats it: far more than loopback buffers hold.
  const std::string line = json::dump(Json{{"type", std::string(200000, 'x')}}) + "\n";
  constexpr int kCommands = 250;
  for (int i = 0; i < kCommands; ++i) client.connection->send(client.session->seal(asBytes(line)));

  const std::size_t limit = sendQueueLimit(LocalTransportChannel::control);
  const std::string overLimit = "over the limit of " + std::to_string(limit);
  ASSERT_TRUE(harness.waitFor([&] { return !harness.messagesContaining(overLimit).empty(); }, 60s))
      << "the host kept queueing replies";
  ASSERT_TRUE(harness.waitFor([&] { return harness.publishedCounts() == std::vector<std::int64_t>{1, 0}; }));
  const std::vector<std::string> lines = harness.messagesContaining(overLimit);
  ASSERT_EQ(lines.size(), 1u) << "logged once";
  // "Closing local control connection: <bytes> bytes waiting to be sent, over the limit of <limit>"
  const std::string prefix = "Closing local control connection: ";
  ASSERT_EQ(lines[0].rfind(prefix, 0), 0u) << lines[0];
  const std::size_t waiting = std::stoull(lines[0].substr(prefix.size()));
  EXPECT_GT(waiting, limit);
  EXPECT_LE(waiting, limit + maximumPlaintextSize(LocalTransportChannel::control) +
                         LocalTransportSession::recordOverhead)
      << "the refused reply went over the limit alone; nothing was queued beyond it";
  client.connection->cancel();
}

// The same over a socket the host can write only a little ahead to: a small segment size and receive buffer,
// set before connecting, keep the host's send buffer small too.
boost::asio::awaitable<SilentClient> connectSilentlyWithSmallBuffers(std::uint16_t port,
                                                                     platform::SigningKey accountKey) {
  boost::asio::ip::tcp::socket socket(sharedIo().executor());
  socket.open(boost::asio::ip::tcp::v4());
  const int segment = 1000;
  const int buffer = 4096;
  ::setsockopt(socket.native_handle(), IPPROTO_TCP, TCP_MAXSEG, &segment, sizeof(segment));
  ::setsockopt(socket.native_handle(), SOL_SOCKET, SO_RCVBUF, &buffer, sizeof(buffer));
  socket.connect({boost::asio::ip::make_address("127.0.0.1"), port});
  auto connection = platform::TcpConnection::adopt(std::move(socket));
  connection->start(sharedIo().executor());
  auto session = co_await clientHandshake(connection, LocalTransportChannel::control, std::move(accountKey),
                                          localHandshakeStepTimeout);
  co_return SilentClient{connection, session};
}

TEST(ControlServerSending, RepliesStillWaitingToBeWrittenReachAClientClosedForAnInvalidRecord) {
  ControlServerHarness harness;
  harness.start();
  SilentClient client = harness.run(connectSilentlyWithSmallBuffers(harness.port(), harness.accountKey));

  // Replies far larger than the socket's buffers hold while the client does not read: most of them wait in the
  // host's queue (under its limit) when the invalid record after them closes the connection.
  const std::string type(200000, 'x');
  const std::string line = json::dump(Json{{"type", type}}) + "\n";
  constexpr int kCommands = 3;
  Bytes batch;
  for (int i = 0; i < kCommands; ++i) {
    const Bytes record = client.session->seal(asBytes(line));
    batch.insert(batch.end(), record.begin(), record.end());
  }
  const Bytes invalid = client.session->seal(asBytes(std::string("{\"type\":\"ping\"}")));
  batch.insert(batch.end(), invalid.begin(), invalid.end());
  client.connection->send(std::move(batch));
  ASSERT_TRUE(harness.waitFor(
      [&] { return harness.logged(LogCategory::Error, "Closing local control connection: invalid command record"); },
      10s));

  std::vector<Json> errors;
  bool ended = false;
  while (!ended) {
    const platform::TcpConnection::ReceiveResult received =
        harness.run(client.connection->receiveAsync(1, 65536), 10s);
    ASSERT_FALSE(received.error) << received.error.message() << " after " << errors.size() << " replies";
    ended = received.isComplete;
    for (const Bytes& record : client.session->open(received.content)) {
      const Json message = testing::parseJSONRecord(record);
      if (message["type"] == "error") errors.push_back(message);
    }
  }
  ASSERT_EQ(errors.size(), static_cast<std::size_t>(kCommands)) << "replies lost in the close";
  for (const Json& error : errors) EXPECT_EQ(error["message"], "unknown command: " + type);
  EXPECT_TRUE(harness.waitFor([&] { return harness.metrics->connectedClients.get() == 0; }));
}

}  // namespace
}  // namespace veltrano::test
