// The control server over loopback with clients that run the real handshake and records: hello, commands and
// replies, record validation, client counts, broadcast, stop, and phone pointer sessions without an X server.
#include <boost/asio/co_spawn.hpp>

#include <thread>

#include "base/continuation.hpp"
#include "base/log_text.hpp"
#include "base/uuid.hpp"
#include "control/control_record_lines.hpp"
#include "control_server_test_support.hpp"
#include "platform/net/network_error.hpp"
#include "platform/net/tcp_connection.hpp"
#include "support/run_blocking.hpp"
#include "support/x11_test_env.hpp"
#include "transport/local_transport_security_error.hpp"

namespace veltrano::test {
namespace {

Bytes lineBytes(const std::string& text) {
  const ByteView view = asBytes(text);
  return Bytes(view.begin(), view.end());
}

// --- Hello ---

// The first message of a server whose store holds these values.
Json helloOf(ControlServerSetup setup, std::uint32_t activeDisplay, std::vector<DisplayInfo> displays) {
  ControlServerHarness harness(setup);
  harness.metrics->hostWidth.set(1920);
  harness.metrics->hostHeight.set(1080);
  harness.metrics->activeDisplayID.set(activeDisplay);
  harness.metrics->availableDisplays.set(std::move(displays));
  harness.start();
  auto client = harness.connect();
  return harness.next(*client).value_or(Json());
}

TEST(ControlServerHello, CarriesTheHostSizePortsAndDisplaysOrFallsBack) {
  const std::vector<DisplayInfo> both = {{7, "VL-LEFT", 960, 1080, 9100}, {4294967295u, "VL-RIGHT", 960, 1080, 9101}};
  const Json hello = helloOf({}, 4294967295u, both);
  EXPECT_EQ(hello, Json::parse(R"({"type": "hello", "status": "ok", "width": 1920, "height": 1080, "videoPort": 9101,
      "audioPort": 9092, "activeDisplayID": 4294967295, "displays": [
        {"id": 7, "name": "VL-LEFT", "width": 960, "height": 1080, "videoPort": 9100},
        {"id": 4294967295, "name": "VL-RIGHT", "width": 960, "height": 1080, "videoPort": 9101}]})"))
      << "no file keys without a file-channel server";
  EXPECT_TRUE(hello["activeDisplayID"].is_number_unsigned());
  EXPECT_EQ(helloOf({}, 3, {both[0]})["videoPort"], 9100) << "the active display is not listed";

  ControlServerSetup withoutStore;
  withoutStore.serverHasMetrics = false;
  EXPECT_EQ(helloOf(withoutStore, 3, both), Json::parse(R"({"type": "hello", "status": "ok", "width": 0, "height": 0,
      "videoPort": 9100, "audioPort": 9092, "activeDisplayID": 0, "displays": []})"));
}

// --- Commands and records ---

TEST(ControlServerCommands, DiscreteCommandsAreAnsweredContinuousOnesAreNot) {
  ControlServerHarness harness;
  harness.start();
  auto client = harness.connectAndGreet();

  const Json pong = harness.request(*client, {{"type", "ping"}, {"timestamp", 12.5}});
  EXPECT_EQ(pong["type"], "pong");
  EXPECT_EQ(pong["clientTimestamp"], 12.5);

  for (const Json& continuous : {Json{{"type", "mouseMove"}, {"x", 10}, {"y", 20}},
                                 Json{{"type", "mouseMoveRel"}, {"dx", 1}, {"dy", 1}},
                                 Json{{"type", "mouseDrag"}, {"x", 10}, {"y", 20}},
                                 Json{{"type", "scroll"}, {"deltaX", 0}, {"deltaY", 3}}}) {
    client->sendJSONLine(continuous);
  }
  client->sendJSONLine({{"type", "ping"}});
  const std::optional<Json> next = harness.next(*client);
  ASSERT_TRUE(next);
  EXPECT_EQ((*next)["type"], "pong") << "no reply to continuous commands: " << next->dump();

  // A validation error of a continuous command has the type "error" and is sent.
  EXPECT_EQ(harness.request(*client, {{"type", "mouseMove"}, {"x", "left"}}),
            (Json{{"type", "error"}, {"message", "mouseMove requires finite x,y"}}));
  EXPECT_EQ(harness.request(*client, {{"type", "teleport"}}),
            (Json{{"type", "error"}, {"message", "unknown command: teleport"}}));
  EXPECT_TRUE(harness.waitFor([&] { return harness.metrics->bytesReceived.get() > 0 && harness.metrics->bytesSent.get() > 0; }));
}

TEST(ControlServerCommands, APingIsAnsweredWithoutTheMainThreadWhichStillLogsAndCountsIt) {
  ControlServerHarness harness;
  harness.start();
  auto client = harness.connectAndGreet();

  // The main loop stands still: the pong comes all the same, and nothing of the main thread's part has happened.
  client->sendJSONLine({{"type", "ping"}, {"timestamp", 7}, {"measuredRttMs", 42.5}});
  const std::optional<Json> pong = testing::runBlocking(client->nextJSON(2s));
  ASSERT_TRUE(pong);
  EXPECT_EQ((*pong)["type"], "pong");
  EXPECT_EQ((*pong)["clientTimestamp"], 7);
  EXPECT_EQ(harness.metrics->averagePingMs.get(), 0);
  EXPECT_TRUE(harness.messagesContaining("command: ").empty());

  // Once the main loop turns, the ping is logged, shown as the last command and its measured round trip stored.
  ASSERT_TRUE(harness.waitFor([&] { return harness.metrics->averagePingMs.get() == 42.5; }));
  EXPECT_EQ(harness.messagesContaining("command: "), std::vector<std::string>{"command: ping 7"});
  EXPECT_EQ(harness.metrics->lastCommand.get(), "ping 7");

  // Replies keep the client's order whichever thread makes them; a ping that names a display or is a phone
  // pointer command takes the main thread's way, with its checks.
  client->sendJSONLine({{"type", "ping"}, {"timestamp", 1}});
  client->sendJSONLine({{"type", "teleport"}});
  client->sendJSONLine({{"type", "ping"}, {"timestamp", 2}, {"displayID", -1}});
  client->sendJSONLine({{"type", "ping"}, {"timestamp", 3}});
  EXPECT_EQ(harness.next(*client).value_or(Json{})["clientTimestamp"], 1);
  EXPECT_EQ(harness.next(*client).value_or(Json{})["message"], "unknown command: teleport");
  EXPECT_EQ(harness.next(*client).value_or(Json{})["message"], "displayID is out of range");
  EXPECT_EQ(harness.next(*client).value_or(Json{})["clientTimestamp"], 3);
  ASSERT_TRUE(harness.waitFor([&] { return harness.metrics->lastCommand.get() == "ping 3"; }));
  EXPECT_EQ(harness.messagesContaining("command: "),
            (std::vector<std::string>{"command: ping 7", "command: ping 1", "command: teleport", "command: ping 3"}))
      << "in the order the commands came; the refused ping is not logged";
}

TEST(ControlServerCommands, TrafficTotalsAreExactAcrossABurstOfCommands) {
  ControlServerHarness harness;
  harness.start();
  auto client = harness.connect();
  // A sealed record is its line plus a 16-byte header and a 16-byte tag.
  constexpr std::int64_t recordOverhead = 32;
  const auto nextRecord = [&] { return harness.run(client->nextRecord(2s), 7s); };
  const std::optional<Bytes> hello = nextRecord();
  ASSERT_TRUE(hello);
  std::int64_t sent = static_cast<std::int64_t>(hello->size()) + recordOverhead;
  std::int64_t received = 0;

  // Far more commands than one counter update per interval: the counts of many are carried together.
  constexpr int commands = 200;
  for (int i = 0; i < commands; ++i) {
    const Json ping = {{"type", "ping"}, {"timestamp", i}};
    client->sendJSONLine(ping);
    received += static_cast<std::int64_t>(controlMessageLine(ping)->size()) + recordOverhead;
  }
  for (int i = 0; i < commands; ++i) {
    const std::optional<Bytes> pong = nextRecord();
    ASSERT_TRUE(pong);
    ASSERT_EQ(testing::parseJSONRecord(*pong)["type"], "pong");
    sent += static_cast<std::int64_t>(pong->size()) + recordOverhead;
  }
  EXPECT_TRUE(harness.waitFor(
      [&] { return harness.metrics->bytesReceived.get() == received && harness.metrics->bytesSent.get() == sent; }))
      << "received " << harness.metrics->bytesReceived.get() << " of " << received << ", sent "
      << harness.metrics->bytesSent.get() << " of " << sent;
  // Nothing is counted twice once the last batch has landed.
  (void)harness.waitFor([] { return false; }, 300ms);
  EXPECT_EQ(harness.metrics->bytesReceived.get(), received);
  EXPECT_EQ(harness.metrics->bytesSent.get(), sent);
}

TEST(ControlServerCommands, InvalidOrTooDeeplyNestedJSONIsAnsweredAndTheConnectionKept) {
  ControlServerHarness harness;
  harness.start();
  auto client = harness.connectAndGreet();

  client->sendRecord(lineBytes("{\"type\": \n"));
  std::optional<Json> reply = harness.next(*client);
  ASSERT_TRUE(reply);
  EXPECT_EQ((*reply)["type"], "error");
  EXPECT_TRUE((*reply)["message"].get<std::string>().starts_with("invalid json")) << reply->dump();

  client->sendRecord(lineBytes(" \t \n"));  // blank: skipped without a reply
  client->sendRecord(lineBytes("\u00a0{\"type\":\"ping\"}\u2028\r\n"));  // Unicode white space is trimmed too
  reply = harness.next(*client);
  ASSERT_TRUE(reply);
  EXPECT_EQ((*reply)["type"], "pong") << reply->dump();

  // Nesting deeper than the parser allows is invalid too, even in a file-transfer message.
  for (const std::string head : {R"({"type":"ping","timestamp":)", R"({"type":"fileCancel","transferID":)"}) {
    client->sendRecord(lineBytes(head + std::string(130000, '[') + std::string(130000, ']') + "}\n"));
    EXPECT_EQ(harness.next(*client), (Json{{"type", "error"}, {"message", "invalid json: nested deeper than 64 levels"}}));
  }
  EXPECT_EQ(harness.request(*client, {{"type", "ping"}})["type"], "pong") << "the connection is kept";
}

TEST(ControlServerCommands, CommandLinesCutPeerTextAndAreThrottledPerConnection) {
  VirtualClock clock;
  ControlServerSetup setup;
  setup.clock = &clock;
  ControlServerHarness harness(setup);
  harness.start();
  auto client = harness.connectAndGreet();
  auto other = harness.connectAndGreet();
  const auto commandLines = [&] { return harness.messagesContaining("command: "); };

  const std::string longType(200000, 'x');
  EXPECT_EQ(harness.request(*client, {{"type", longType}})["message"], "unknown command: " + longType);
  EXPECT_EQ(harness.request(*client, {{"type", "ping"}, {"timestamp", Json::array({longType})}})["type"], "pong");
  // A ping's line is written on the main thread after its reply has left.
  ASSERT_TRUE(harness.waitFor([&] { return commandLines().size() == 2; }));
  EXPECT_EQ(commandLines()[0], "command: " + loggedText(longType));
  EXPECT_EQ(commandLines()[1], "command: ping " + loggedText("[\"" + longType + "\"]"));

  for (int i = 0; i < 30; ++i) EXPECT_EQ(harness.request(*client, {{"type", "fly"}})["type"], "error");
  EXPECT_EQ(commandLines().size(), 20u) << "a burst of 20 lines per period";
  EXPECT_EQ(harness.request(*other, {{"type", "fly"}})["type"], "error");
  EXPECT_EQ(commandLines().back(), "command: fly") << "another connection has a throttle of its own";
  clock.advance(10s);
  EXPECT_EQ(harness.request(*client, {{"type", "fly"}})["type"], "error");
  EXPECT_EQ(commandLines().back(), "command: fly (12 similar lines left out)");
}

TEST(ControlServerCommands, PeerTextCannotForgeALogLine) {
  ControlServerHarness harness;
  harness.start();
  auto client = harness.connectAndGreet();
  EXPECT_EQ(harness.request(*client, {{"type", "zz\n[NET] FAKE injected line"}})["type"], "error");
  EXPECT_EQ(harness.request(*client, {{"type", "ping"}, {"timestamp", "\x1b]0;title\x07\u2028x"}})["type"], "pong");
  ASSERT_TRUE(harness.waitFor([&] { return harness.messagesContaining("command: ").size() == 2; }));
  const auto lines = harness.messagesContaining("command: ");
  EXPECT_EQ(lines[0], "command: zz\\n[NET] FAKE injected line");
  EXPECT_EQ(lines[1].find_first_of("\n\r\x1b\x07"), std::string::npos) << lines[1];
  EXPECT_EQ(lines[1].find("\u2028"), std::string::npos) << lines[1];
}

TEST(ControlServerCommands, FloodsOfValidCommandsAndOfReconnectionsWriteABoundedLog) {
  VELTRANO_REQUIRE_X11();
  VirtualClock clock;  // never advanced: one throttle period throughout
  ControlServerSetup setup;
  setup.clock = &clock;
  setup.withX = true;  // key presses reach the X server and are logged
  ControlServerHarness harness(setup);
  harness.handler->setHostCallbacks({[](std::int64_t, std::int32_t) {}, [] {}, {}});
  harness.start();
  const auto bytesLogged = [&] {
    std::size_t bytes = 0;
    for (const std::string& line : harness.logs.messages()) bytes += line.size() + 1;
    return bytes;
  };
  const std::vector<Json> commands = {{{"type", "setQuality"}, {"bitrate", 2000000}, {"maxFps", 30}},
                                      {{"type", "keyframe"}},
                                      {{"type", "keyDown"}, {"key", "shift"}},
                                      {{"type", "keyUp"}, {"key", "shift"}}};
  auto client = harness.connectAndGreet();
  for (const Json& command : commands) {
    const std::size_t before = harness.logs.messages().size();
    for (int i = 0; i < 300; ++i) ASSERT_FALSE(harness.request(*client, command).contains("missing"));
    // Its own line and the command line, each a burst of 20 per period.
    EXPECT_LE(harness.logs.messages().size() - before, 40u) << command.dump();
  }
  EXPECT_EQ(harness.messagesContaining("setQuality bitrate=").size(), 20u);
  EXPECT_EQ(harness.messagesContaining("keyframe requested").size(), 20u);

  // A client that reconnects for every command meets the listener's bounds.
  const std::size_t before = bytesLogged();
  for (int i = 0; i < 150; ++i) {
    auto once = harness.connectAndGreet();
    ASSERT_FALSE(harness.request(*once, commands[0]).contains("missing"));
    once->close();
  }
  EXPECT_EQ(harness.messagesContaining("Authenticated local control client").size(), 20u);
  EXPECT_EQ(harness.messagesContaining("setQuality bitrate=").size(), 60u) << "the listener's burst";
  EXPECT_LE(bytesLogged() - before, 8u * 1024) << "150 connections";
}

TEST(ControlServerRecords, ARecordAtTheLimitIsServedAndOneOverItClosesTheConnection) {
  ControlServerHarness harness;
  harness.start();
  auto client = harness.connectAndGreet();
  std::string line = R"({"type":"ping","pad":""})";
  line.insert(line.size() - 2, std::string(maximumControlRecordSize - line.size() - 1, 'x'));
  line.push_back('\n');
  ASSERT_EQ(line.size(), maximumControlRecordSize);
  client->sendRecord(lineBytes(line));
  const std::optional<Json> reply = harness.next(*client, 5s);
  ASSERT_TRUE(reply);
  EXPECT_EQ((*reply)["type"], "pong");
  ASSERT_TRUE(harness.waitFor([&] { return harness.metrics->connectedClients.get() == 1; }));

  // A record header announcing one byte more than the control channel allows: refused before its body.
  Bytes header = {'V', 'L', 'E', '1', 0, 0, 0, 0, 0, 0, 0, 0};
  const std::uint32_t sealedLength = static_cast<std::uint32_t>(maximumControlRecordSize + 1 + 16);
  for (int shift = 24; shift >= 0; shift -= 8) header.push_back(static_cast<std::uint8_t>(sealedLength >> shift));
  client->sendRaw(header);

  EXPECT_TRUE(harness.closedWithin(*client));
  EXPECT_TRUE(harness.waitFor([&] { return harness.metrics->connectedClients.get() == 0; }));
  EXPECT_TRUE(harness.logged(LogCategory::Error, "Closing local control connection: secure record rejected"));
  EXPECT_EQ(harness.registeredClients(), 0u);
}

TEST(ControlServerRecords, AnInvalidRecordClosesTheConnectionAndDropsTheRestOfItsBatch) {
  const std::vector<std::pair<std::string, Bytes>> invalidRecords = {
      {"text after the last line feed", lineBytes("{\"type\":\"ping\"}\n{\"type\":\"ping\"}")},
      {"no line feed", lineBytes("{\"type\":\"ping\"}")},
      {"empty", Bytes{}},
      {"not UTF-8", Bytes{'{', 0xC3, 0x28, '}', '\n'}},
  };
  for (const auto& [why, invalid] : invalidRecords) {
    SCOPED_TRACE(why);
    ControlServerHarness harness;
    harness.start();
    auto client = harness.connectAndGreet();

    // One write carrying three records: the first is served, the second closes, the third is never seen.
    Bytes batch = client->session()->seal(lineBytes("{\"type\":\"ping\",\"timestamp\":1}\n"));
    const Bytes bad = client->session()->seal(invalid);
    const Bytes after = client->session()->seal(lineBytes("{\"type\":\"ping\",\"timestamp\":3}\n"));
    batch.insert(batch.end(), bad.begin(), bad.end());
    batch.insert(batch.end(), after.begin(), after.end());
    client->sendRaw(batch);

    const std::optional<Json> first = harness.next(*client);
    ASSERT_TRUE(first);
    EXPECT_EQ((*first)["clientTimestamp"], 1);
    EXPECT_TRUE(harness.closedWithin(*client));
    EXPECT_THROW(harness.next(*client, 100ms), LocalTransportSecurityError) << "nothing after the close";
    EXPECT_TRUE(harness.logged(LogCategory::Error, "Closing local control connection: invalid command record"));
    EXPECT_TRUE(harness.waitFor([&] { return harness.metrics->connectedClients.get() == 0; }));
  }
}

// --- Clients ---

TEST(ControlServerClients, CountsGoUpAndDown) {
  ControlServerHarness harness;
  harness.start();

  auto first = harness.connectAndGreet();
  EXPECT_TRUE(harness.waitFor([&] { return harness.metrics->connectedClients.get() == 1; }));
  auto second = harness.connectAndGreet();
  EXPECT_TRUE(harness.waitFor([&] { return harness.metrics->connectedClients.get() == 2; }));
  EXPECT_EQ(harness.countLogged("Authenticated local control client"), 2u);

  first->close();
  EXPECT_TRUE(harness.waitFor([&] { return harness.metrics->connectedClients.get() == 1; }));
  second->close();
  EXPECT_TRUE(harness.waitFor([&] { return harness.metrics->connectedClients.get() == 0; }));
  EXPECT_TRUE(harness.waitFor([&] { return harness.publishedCounts().size() == 4; }));
  EXPECT_EQ(harness.publishedCounts(), (std::vector<std::int64_t>{1, 2, 1, 0}));
  EXPECT_TRUE(harness.waitFor([&] { return harness.countLogged("Disconnected") == 2; }));
  EXPECT_EQ(harness.registeredClients(), 0u);
}

TEST(ControlServerClients, AClientWithAnotherAccountKeyIsRefused) {
  ControlServerHarness harness;
  harness.start();
  EXPECT_THROW(harness.run(LocalTestClient::connect(harness.port(), LocalTransportChannel::control,
                                                    platform::SigningKey::generate(), {})),
               std::exception);
  EXPECT_TRUE(harness.waitFor([&] {
    return harness.logged(LogCategory::Error, "Local control authentication failed: local transport: authentication failed");
  })) << ::testing::PrintToString(harness.logs.messages());
  EXPECT_EQ(harness.registeredClients(), 0u);
  EXPECT_TRUE(harness.publishedCounts().empty());

  // A client of the wrong channel is refused the same way.
  EXPECT_THROW(harness.run(LocalTestClient::connect(harness.port(), LocalTransportChannel::file, harness.accountKey, {})),
               std::exception);
  EXPECT_TRUE(harness.waitFor([&] {
    return harness.logged(LogCategory::Error, "Local control authentication failed: local transport: invalid handshake message");
  }));
}

TEST(ControlServerClients, ABroadcastReachesEveryClient) {
  ControlServerHarness harness;
  harness.start();
  auto first = harness.connectAndGreet();
  auto second = harness.connectAndGreet();
  const Json message = {{"type", "displayChanged"}, {"displayID", 5}};
  harness.run(harness.server->broadcast(message));
  EXPECT_EQ(harness.run(first->nextRecord(2s), 7s), lineBytes("{\"displayID\":5,\"type\":\"displayChanged\"}\n"));
  EXPECT_EQ(harness.next(*second), message);
  // A message JSON cannot express is not sent: the next one is what comes.
  harness.run(harness.server->broadcast({{"type", "bad"}, {"value", std::numeric_limits<double>::infinity()}}));
  harness.run(harness.server->broadcast({{"type", "good"}}));
  EXPECT_EQ(harness.next(*first), (Json{{"type", "good"}}));
}

// --- Stop ---

TEST(ControlServerStop, ClosesEveryClientAndFreesThePortAtOnce) {
  ControlServerHarness harness;
  harness.start();
  const std::uint16_t port = harness.port();
  auto first = harness.connectAndGreet();
  auto second = harness.connectAndGreet();
  ASSERT_TRUE(harness.waitFor([&] { return harness.publishedCounts().size() == 2; }));

  harness.run(harness.server->stop());
  EXPECT_TRUE(harness.closedWithin(*first));
  EXPECT_TRUE(harness.closedWithin(*second));
  EXPECT_EQ(harness.metrics->connectedClients.get(), 0);
  EXPECT_EQ(harness.publishedCounts(), (std::vector<std::int64_t>{1, 2, 0})) << "0 is published once";
  EXPECT_EQ(harness.registeredClients(), 0u);
  EXPECT_EQ(harness.port(), 0);
  EXPECT_TRUE(harness.logged(LogCategory::NET, "Server stopped"));
  EXPECT_EQ(harness.countLogged("Disconnected"), 0u) << "a stop writes no connection lines";

  // The listener is gone: nobody accepts on the port any more.
  EXPECT_THROW(harness.run(platform::TcpConnection::connect("127.0.0.1", port, {}, sharedIo().executor())),
               platform::NetworkError);

  // The port can be bound again at once, by a new server on the same port.
  ControlServerSetup setup;
  setup.port = port;
  ControlServerHarness again(setup);
  again.start();
  EXPECT_EQ(again.port(), port);
  auto client = again.connectAndGreet();
  EXPECT_EQ(again.request(*client, {{"type", "ping"}})["type"], "pong");
}

asio::awaitable<void> holdRegistration(std::shared_ptr<std::atomic<bool>> reached, Continuation<> gate) {
  reached->store(true);
  co_await gate.wait();
}

TEST(ControlServerStop, AHandshakeFinishingDuringAStopIsNeverRegistered) {
  auto reached = std::make_shared<std::atomic<bool>>(false);
  Continuation<> gate;
  ControlServerSetup setup;
  setup.beforeClientRegistration = [reached, gate] { return holdRegistration(reached, gate); };
  ControlServerHarness harness(setup);
  harness.start();

  // The client's handshake is done; the server holds the connection between the pending table and its clients.
  auto client = harness.connect();
  ASSERT_TRUE(harness.waitFor([&] { return reached->load(); }));
  client->sendJSONLine({{"type", "ping"}});
  const std::string lastCommandBefore = harness.metrics->lastCommand.get();

  harness.run(harness.server->stop());
  gate.resume();

  EXPECT_TRUE(harness.closedWithin(*client));
  EXPECT_EQ(harness.registeredClients(), 0u);
  harness.loop.runUntil([] { return false; }, 200ms);
  EXPECT_EQ(harness.publishedCounts(), (std::vector<std::int64_t>{0})) << "the late client is never counted";
  EXPECT_EQ(harness.metrics->connectedClients.get(), 0);
  EXPECT_EQ(harness.countLogged("Authenticated local control client"), 0u);
  EXPECT_EQ(harness.metrics->lastCommand.get(), lastCommandBefore) << "its command never reached the handler";
  EXPECT_ANY_THROW(harness.next(*client, 100ms)) << "no hello, no pong: the stream just ends";
}

// --- Phone pointer sessions ---

TEST(ControlServerPhonePointer, SupersededCommandsAreDroppedOnlyDiscreteDropsAnsweredAndSessionsEndWithTheConnection) {
  ControlServerHarness harness;
  harness.start();
  auto client = harness.connectAndGreet();

  EXPECT_NE(harness.request(*client, phone("leftClick", "s1", 5))["status"], "dropped");
  const Json superseded = {{"type", "leftClick"}, {"status", "dropped"}, {"reason", "superseded"}};
  EXPECT_EQ(harness.request(*client, phone("leftClick", "s1", 4)), superseded);
  EXPECT_EQ(harness.request(*client, phone("leftClick", "s1", 5)), superseded) << "a repeated number is old";
  EXPECT_NE(harness.request(*client, phone("leftClick", "s2", 1))["status"], "dropped") << "sessions are independent";

  client->sendJSONLine(phone("mouseMove", "s1", 3, {{"x", 1}, {"y", 1}}));  // superseded, continuous: no reply
  EXPECT_EQ(harness.request(*client, {{"type", "ping"}})["type"], "pong");

  // Closing the connection ends its sessions.
  client->close();
  EXPECT_TRUE(harness.waitFor([&] { return harness.handler->phonePointerSequenceGate().latestBySession.empty(); }))
      << "both sessions seen on the connection end with it";

  auto next = harness.connectAndGreet();
  EXPECT_NE(harness.request(*next, phone("leftClick", "s1", 1))["status"], "dropped") << "s1 starts afresh";
}

// A virtual clock that reports when the handler takes a command's arrival time.
class ArrivalWatchingClock final : public VirtualClock {
 public:
  TimePoint now() const override {
    reads.fetch_add(1);
    return VirtualClock::now();
  }
  mutable std::atomic<int> reads{0};
};

TEST(ControlServerPhonePointer, AStaleCommandIsAnsweredAndLeavesTheGateAlone) {
  ArrivalWatchingClock clock;
  clock.advance(std::chrono::seconds(10));
  ControlServerSetup setup;
  setup.clock = &clock;
  ControlServerHarness harness(setup);
  harness.start();
  auto client = harness.connectAndGreet();

  // The command arrives; the main thread gets to it only 0.6 s later.
  const int readsBefore = clock.reads.load();
  client->sendJSONLine(phone("leftClick", "s1", 9));
  const auto deadline = std::chrono::steady_clock::now() + 5s;
  while (clock.reads.load() == readsBefore && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(1ms);
  }
  ASSERT_GT(clock.reads.load(), readsBefore) << "the command never reached the handler";
  clock.advance(600ms);

  EXPECT_EQ(harness.next(*client), (Json{{"type", "leftClick"}, {"status", "dropped"}, {"reason", "stale"}}));
  EXPECT_NE(harness.request(*client, phone("leftClick", "s1", 3))["status"], "dropped");
  EXPECT_EQ(harness.request(*client, phone("leftClick", "s1", 2))["reason"], "superseded");
}

// --- File-transfer messages ---

TEST(ControlServerFileMessages, WithoutACoordinatorTheyAreIgnoredAndNotCommands) {
  ControlServerHarness harness;
  harness.start();
  auto client = harness.connectAndGreet();
  client->sendJSONLine({{"type", "filePickerRequest"}});
  client->sendJSONLine({{"type", "fileCancel"}, {"transferID", Uuid::random().text()}, {"flow", "upload"}});
  EXPECT_EQ(harness.request(*client, {{"type", "ping"}})["type"], "pong") << "no reply to the file messages";
  EXPECT_EQ(harness.messagesContaining("filePickerRequest").size(), 0u);
}

}  // namespace
}  // namespace veltrano::test
