// What a connected remote session's messages do, on a stand-in signaling connection and fake data-channel peers:
// the hello on each control channel, commands and their replies, the media-control messages with the servers'
// counts and sinks, and messages that arrive once the session has ended.
#include <boost/asio/post.hpp>
#include <boost/asio/use_future.hpp>
#include <gtest/gtest.h>

#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "control/input_command_handler.hpp"
#include "control/input_controller.hpp"
#include "core/metrics_store.hpp"
#include "filetransfer/remote_file_transfer_coordinator.hpp"
#include "remote/data_channel_chunks.hpp"
#include "remote/remote_host_coordinator.hpp"
#include "support/fake_remote_access.hpp"

namespace veltrano {
namespace {

using namespace std::chrono_literals;
using Kind = SignalingClient::State::Kind;
using testing::FakeDataChannel;
using testing::FakePeerConnection;
using webrtc::DataChannelState;
using webrtc::PeerConnectionState;

const std::string offerBody = R"({"sdp":"v=0 offer","type":"offer"})";

// A media server as the update sees it: the last count and sink it was given.
class RecordingOutlet final : public ExternalMediaOutlet {
 public:
  boost::asio::awaitable<void> applyExternalClients(int count, ExternalPacketSink sink) override {
    std::lock_guard lock(mutex_);
    counts.push_back(count);
    this->sink = std::move(sink);
    co_return;
  }
  std::vector<int> counts;
  ExternalPacketSink sink;

 private:
  std::mutex mutex_;
};

// One tablet's session: its peer connection and the channels the tablet opened.
struct Tablet {
  std::shared_ptr<FakePeerConnection> connection;
  std::map<std::string, std::shared_ptr<FakeDataChannel>> channels;
};

class RemoteDataChannelMessages : public ::testing::Test {
 protected:
  RemoteDataChannelMessages() {
    coordinator = RemoteHostCoordinator::create(metrics, handler, transfers, remote.environment());
    coordinator->audioServer = audio;
    coordinator->attachVideoServer(display1, 1);
    coordinator->attachVideoServer(display2, 2);
    coordinator->startRemoteHost();
    settle();
    remote.signaling().report(Kind::connected);
    remote.signaling().reportICEServers({});
    settle();
  }
  ~RemoteDataChannelMessages() override {
    coordinator->stopRemoteHost();
    settle();
    // A session the coordinator already let go may still be closing on its own thread, with timers on the clock
    // that goes with this fixture: wait for each one's queue to run out first.
    for (const auto& peer : peers) boost::asio::post(peer->executor(), boost::asio::use_future).get();
  }

  void settle() {
    for (int round = 0; round < 6; ++round) {
      loop.drain();
      remote.peers.network().flush();
      for (const auto& [id, session] : coordinator->sessions()) {
        boost::asio::post(session.peer->executor(), boost::asio::use_future).get();
      }
      loop.drain();
    }
  }
  // A tablet that offered `session`, connected and opened the control, input and file channels.
  Tablet connect(const std::string& session) {
    static std::uint64_t sequence = 0;
    remote.signaling().reportSignal({"ipad-1", session, "offer", Bytes(offerBody.begin(), offerBody.end()), ++sequence});
    settle();
    Tablet tablet{remote.peers.last(), {}};
    peers.push_back(coordinator->sessions().at(session).peer);
    tablet.connection->emitConnectionState(PeerConnectionState::connected);
    settle();
    for (const char* label : {"veltrano.control", "veltrano.input", "veltrano.file"}) {
      tablet.channels[label] = tablet.connection->emitDataChannel(label, DataChannelState::open);
    }
    settle();
    return tablet;
  }
  void send(Tablet& tablet, const std::string& label, const std::string& text) {
    static std::uint32_t messageID = 0;
    const auto opened = tablet.channels.find(label);
    const auto channel = opened != tablet.channels.end() ? opened->second : hostChannel(tablet, label);
    for (const Bytes& chunk : makeChunks(asBytes(text), ++messageID)) channel->deliver(chunk);
    settle();
  }
  // What the host sent the tablet on a channel it opened, message by message.
  static std::vector<std::string> received(const std::shared_ptr<FakeDataChannel>& channel) {
    std::vector<std::string> messages;
    for (const auto& frame : channel->sent()) {
      if (readChunkHeader(frame)->index == 0) messages.emplace_back();
      messages.back().append(frame.begin() + chunkHeaderSize, frame.end());
    }
    return messages;
  }
  std::vector<std::string> replies(Tablet& tablet) { return received(tablet.channels.at("veltrano.control")); }
  // The channel the host opened on the tablet's connection, by label.
  std::shared_ptr<FakeDataChannel> hostChannel(Tablet& tablet, const std::string& label) {
    for (const auto& channel : tablet.connection->record().createdChannels) {
      if (channel->label() == label) return channel;
    }
    return nullptr;
  }

  MainLoopForTests loop;
  VirtualClock clock{[this] { loop.drain(); }};
  testing::FakeRemoteAccess remote{[](std::string) {}, clock};
  std::shared_ptr<MetricsStore> metrics = std::make_shared<MetricsStore>();
  std::shared_ptr<InputCommandHandler> handler =
      InputCommandHandler::create(InputController::create(nullptr, [] { return false; }, clock), metrics, clock);
  std::shared_ptr<RemoteFileTransferCoordinator> transfers = RemoteFileTransferCoordinator::create(nullptr);
  std::shared_ptr<RecordingOutlet> audio = std::make_shared<RecordingOutlet>();
  std::shared_ptr<RecordingOutlet> display1 = std::make_shared<RecordingOutlet>();
  std::shared_ptr<RecordingOutlet> display2 = std::make_shared<RecordingOutlet>();
  std::shared_ptr<RemoteHostCoordinator> coordinator;
  std::vector<std::shared_ptr<WebRTCPeerSession>> peers;
};

TEST_F(RemoteDataChannelMessages, EachControlChannelGetsOneHelloWithTheHostsDisplays) {
  metrics->hostWidth.set(1920);
  metrics->hostHeight.set(1080);
  metrics->activeDisplayID.set(2);
  metrics->availableDisplays.set({{1, "Left", 1280, 1024, 9100}, {2, "Right", 1920, 1080, 9101}});
  Tablet tablet = connect("S1");
  const auto hellos = replies(tablet);
  ASSERT_EQ(hellos.size(), 1u) << "the input and file channels opening send nothing";
  EXPECT_EQ(hellos[0].back(), '}') << "no line feed";
  const json::Json expected = {
      {"type", "hello"}, {"status", "ok"}, {"width", 1920}, {"height", 1080}, {"activeDisplayID", 2},
      {"audioPort", 0}, {"videoPort", 0}, {"transport", "p2p"},
      {"capabilities", {"fileDownloadV1", "fileTransferV2"}},
      {"displays",
       {{{"id", 1}, {"name", "Left"}, {"width", 1280}, {"height", 1024}, {"videoPort", 9100}},
        {{"id", 2}, {"name", "Right"}, {"width", 1920}, {"height", 1080}, {"videoPort", 9101}}}}};
  EXPECT_EQ(json::Json::parse(hellos[0]), expected);

  // Without displays the list is empty; a control channel that opens again gets a hello of its own.
  metrics->availableDisplays.set({});
  tablet.channels["veltrano.control"] = tablet.connection->emitDataChannel("veltrano.control", DataChannelState::open);
  settle();
  const auto again = replies(tablet);
  ASSERT_EQ(again.size(), 1u);
  EXPECT_EQ(json::Json::parse(again[0])["displays"], json::Json::array());
  EXPECT_EQ(json::Json::parse(again[0])["videoPort"], 0);
}

TEST_F(RemoteDataChannelMessages, CommandsAreAnsweredOnTheControlChannelOnlyAndNeverForMoves) {
  Tablet tablet = connect("S1");
  const std::size_t hello = replies(tablet).size();
  struct Case {
    const char* label;
    std::string text;
    std::optional<std::string> replyType;  // none: nothing is sent back
  };
  const std::vector<Case> cases = {
      {"veltrano.control", R"({"type":"ping"})", "pong"},
      {"veltrano.control", R"({"type":"mouseMove","x":0.5,"y":0.5})", std::nullopt},
      {"veltrano.control", R"({"type":"scroll","dx":0,"dy":3})", std::nullopt},
      {"veltrano.control", R"({"type":"mouseDrag","x":0.1,"y":0.1})", std::nullopt},
      {"veltrano.control", "not json", "error"},
      {"veltrano.control", "\xff\xfe", std::nullopt},  // not UTF-8: dropped
      {"veltrano.input", R"({"type":"ping"})", std::nullopt},
      {"veltrano.input", "not json", std::nullopt},
      // On the input channel neither is what it is on the control channel: the handler gets them, unanswered.
      {"veltrano.input", R"({"type":"setAudioStreaming","enabled":true})", std::nullopt},
      {"veltrano.input", R"({"type":"fileCancel","transferID":"x"})", std::nullopt},
      {"veltrano.audio", R"({"type":"ping"})", std::nullopt},  // the host's media channels carry nothing in
  };
  for (const Case& c : cases) {
    const std::size_t before = replies(tablet).size();
    send(tablet, c.label, c.text);
    const auto now = replies(tablet);
    if (!c.replyType) {
      EXPECT_EQ(now.size(), before) << c.label << " " << c.text;
      continue;
    }
    ASSERT_EQ(now.size(), before + 1) << c.label << " " << c.text;
    EXPECT_NE(now.back().back(), '\n');
    EXPECT_EQ(json::Json::parse(now.back())["type"], *c.replyType) << c.text;
  }
  EXPECT_GT(replies(tablet).size(), hello);
  EXPECT_EQ(coordinator->mediaHub->audioListenerCount(), 0) << "media control only on the control channel";
}

// Commands run in the order they came, each to its reply; a ping with nothing before it is answered without the
// main thread, one behind a command still to run after that command's reply.
TEST_F(RemoteDataChannelMessages, CommandsRunInArrivalOrderAndAPingWaitsOnlyForThoseBeforeIt) {
  Tablet tablet = connect("S1");
  const std::size_t hello = replies(tablet).size();
  const auto deliver = [&](const std::string& text) {
    static std::uint32_t messageID = 5000;
    for (const Bytes& chunk : makeChunks(asBytes(text), ++messageID)) tablet.channels.at("veltrano.control")->deliver(chunk);
    remote.peers.network().flush();
    boost::asio::post(coordinator->sessions().at("S1").peer->executor(), boost::asio::use_future).get();
  };
  const auto replyTypes = [&] {
    std::vector<std::string> types;
    const auto all = replies(tablet);
    for (std::size_t i = hello; i < all.size(); ++i) types.push_back(json::Json::parse(all[i])["type"]);
    return types;
  };
  deliver(R"({"type":"ping","timestamp":1})");
  boost::asio::post(coordinator->sessions().at("S1").peer->executor(), boost::asio::use_future).get();
  EXPECT_EQ(replyTypes(), std::vector<std::string>{"pong"}) << "answered while the main loop stood still";

  // The main loop stands still: the commands wait for it, and so does the ping behind them.
  deliver(R"({"type":"keyframe"})");
  deliver(R"({"type":"rightClick"})");
  deliver(R"({"type":"ping","timestamp":2})");
  deliver(R"({"type":"setQuality","bitrate":0})");
  boost::asio::post(coordinator->sessions().at("S1").peer->executor(), boost::asio::use_future).get();
  EXPECT_EQ(replyTypes().size(), 1u);
  settle();
  EXPECT_EQ(replyTypes(), (std::vector<std::string>{"pong", "keyframe", "rightClick", "pong", "setQuality"}));
}

TEST_F(RemoteDataChannelMessages, SubscriptionsReachTheHubAndTheServersWithTheirSinks) {
  Tablet first = connect("S1");
  Tablet second = connect("S2");
  send(first, "veltrano.control", R"({"type":"setVideoSubscriptions","displayIDs":[1,-1,4294967296,7]})");
  EXPECT_EQ(coordinator->sessions().at("S1").visibleDisplayIDs, (std::set<std::uint32_t>{1}));
  EXPECT_EQ(display1->counts.back(), 1);
  EXPECT_EQ(display2->counts.back(), 0);
  send(second, "veltrano.control", R"({"type":"setVideoSubscriptions","displayIDs":[1,2]})");
  EXPECT_EQ(display1->counts.back(), 2);
  EXPECT_EQ(display2->counts.back(), 1);
  EXPECT_TRUE(replies(first).size() == 1 && replies(second).size() == 1) << "neither is answered";

  // The sink a server got sends on that display's channel to its viewers.
  const Bytes envelope{'V', 'L', 'V', '1', 2, 0, 0, 0, 0};
  for (Tablet* tablet : {&first, &second}) hostChannel(*tablet, "veltrano.video.2")->open();
  settle();
  ASSERT_TRUE(display2->sink);
  EXPECT_TRUE(display2->sink.tellsRoom() && display2->sink.hasRoomFor(envelope.size()));
  EXPECT_TRUE(display2->sink(envelope));
  settle();
  EXPECT_EQ(received(hostChannel(second, "veltrano.video.2")).size(), 1u);
  EXPECT_TRUE(received(hostChannel(first, "veltrano.video.2")).empty());

  // A non-integer element or no list clears the set.
  send(second, "veltrano.control", R"({"type":"setVideoSubscriptions","displayIDs":[1,1.5]})");
  EXPECT_TRUE(coordinator->sessions().at("S2").visibleDisplayIDs.empty());
  send(first, "veltrano.control", R"({"type":"setVideoSubscriptions"})");
  EXPECT_TRUE(coordinator->sessions().at("S1").visibleDisplayIDs.empty());
  EXPECT_EQ(display1->counts.back(), 0);
  EXPECT_FALSE(display1->sink);

  send(first, "veltrano.control", R"({"type":"setAudioStreaming","enabled":true})");
  EXPECT_EQ(audio->counts.back(), 1);
  EXPECT_TRUE(audio->sink);
  send(first, "veltrano.control", R"({"type":"setAudioStreaming","enabled":"yes"})");
  EXPECT_FALSE(coordinator->sessions().at("S1").audioEnabled);
  EXPECT_EQ(audio->counts.back(), 0);
}

TEST_F(RemoteDataChannelMessages, NothingASessionSendsActsOnceItHasEnded) {
  Tablet tablet = connect("S1");
  send(tablet, "veltrano.control", R"({"type":"setAudioStreaming","enabled":true})");
  ASSERT_EQ(audio->counts.back(), 1);
  const std::size_t before = replies(tablet).size();
  tablet.connection->emitConnectionState(PeerConnectionState::failed);
  settle();
  ASSERT_FALSE(coordinator->sessions().contains("S1"));
  EXPECT_EQ(audio->counts.back(), 0);
  const std::size_t updates = audio->counts.size();

  // Messages the closed peer still reports do nothing.
  for (const char* text : {R"({"type":"ping"})", R"({"type":"setAudioStreaming","enabled":true})"}) {
    for (const auto& [label, channel] : tablet.channels) channel->deliver(makeChunks(asBytes(text), 900)[0]);
  }
  settle();
  EXPECT_EQ(replies(tablet).size(), before);
  EXPECT_EQ(audio->counts.size(), updates);
}

TEST_F(RemoteDataChannelMessages, APhonePointerSessionTheTabletNamedEndsWithTheRemoteSession) {
  Tablet tablet = connect("S1");
  for (int sequence = 1; sequence <= 3; ++sequence) {
    send(tablet, "veltrano.input",
         json::Json{{"type", "mouseMoveRel"}, {"dx", 1}, {"dy", 0}, {"phonePointer", true}, {"pointerSession", "P1"},
                    {"pointerSequence", sequence}}
             .dump());
  }
  ASSERT_TRUE(handler->phonePointerSequenceGate().latestBySession.contains("P1"));
  EXPECT_EQ(handler->phonePointerSequenceGate().latestBySession.at("P1"), 3);
  tablet.connection->emitConnectionState(PeerConnectionState::failed);
  settle();
  EXPECT_FALSE(handler->phonePointerSequenceGate().latestBySession.contains("P1"));
}

}  // namespace
}  // namespace veltrano
