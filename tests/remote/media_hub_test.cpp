#include <boost/asio/post.hpp>
#include <boost/asio/use_future.hpp>
#include <gtest/gtest.h>

#include <atomic>
#include <deque>
#include <future>
#include <latch>
#include <map>
#include <set>
#include <tuple>
#include <thread>

#include "media/media_envelope.hpp"
#include "remote/data_channel_chunks.hpp"
#include "remote/remote_host_media_hub.hpp"
#include "support/fake_webrtc_peer.hpp"
#include "support/peer_session_answers.hpp"
#include "support/recorded_values.hpp"

namespace veltrano {
namespace {

const Bytes envelope{'V', 'L', 'V', '1', 0, 1, 2, 3};
const std::vector<std::string> allChannels{"veltrano.video.1", "veltrano.video.2", "veltrano.audio"};

class MediaHub : public ::testing::Test {
 protected:
  void TearDown() override {
    for (const auto& peer : peers) {
      peerFactory.network().flush();
      boost::asio::post(peer->executor(), boost::asio::use_future).get();
    }
  }

  // A peer session whose tablet opened `labels`.
  std::shared_ptr<WebRTCPeerSession> addPeer(const std::vector<std::string>& labels = allChannels) {
    auto peer = peers.emplace_back(WebRTCPeerSession::create({}, false, {peerFactory.function(), &clock, 0}));
    peer->callbacks().onChannelOpened = opened.recorder();
    EXPECT_TRUE(testing::startAndWait(*peer));
    for (const auto& label : labels) {
      const std::size_t before = opened.size();
      channels[{peer.get(), label}] = peerFactory.last()->emitDataChannel(label, webrtc::DataChannelState::open);
      EXPECT_TRUE(opened.waitForCount(before + 1));
    }
    return peer;
  }
  // The messages `peer` sent on `label`, each put back together from its chunks, once its strand has run
  // what the hub queued there.
  std::vector<Bytes> received(const std::shared_ptr<WebRTCPeerSession>& peer, const std::string& label) {
    boost::asio::post(peer->executor(), boost::asio::use_future).get();
    std::vector<Bytes> messages;
    const auto channel = channels.find({peer.get(), label});
    for (const auto& frame : channel == channels.end() ? std::vector<std::vector<std::uint8_t>>{}
                                                       : channel->second->sent()) {
      if (readChunkHeader(frame)->index == 0) messages.emplace_back();
      messages.back().insert(messages.back().end(), frame.begin() + chunkHeaderSize, frame.end());
    }
    return messages;
  }
  void subscribe(const std::string& sessionID, bool audio, std::set<std::uint32_t> displays) {
    hub.setAudioEnabled(audio, sessionID);
    hub.setVisibleDisplayIDs(std::move(displays), sessionID);
  }

  testing::FakePeerFactory peerFactory;
  VirtualClock clock;
  testing::RecordedValues<std::string> opened;
  std::deque<std::shared_ptr<WebRTCPeerSession>> peers;
  std::map<std::pair<WebRTCPeerSession*, std::string>, std::shared_ptr<testing::FakeDataChannel>> channels;
  RemoteHostMediaHub hub;
};

TEST_F(MediaHub, EnvelopesReachExactlyTheSessionsThatWatchOrListen) {
  const auto both = addPeer(), first = addPeer(), idle = addPeer();
  hub.registerPeer(both, "both");
  hub.registerPeer(first, "first");
  hub.registerPeer(idle, "idle");
  subscribe("both", true, {1, 2});
  subscribe("first", false, {1});
  EXPECT_EQ(std::tuple(hub.viewerCount(1), hub.viewerCount(2), hub.viewerCount(3), hub.audioListenerCount()),
            std::tuple(2, 1, 0, 1));

  const Bytes large(150000, 7);  // several chunks, still one message
  EXPECT_TRUE(hub.sendVideo(1, envelope));
  EXPECT_TRUE(hub.sendVideo(2, large));
  EXPECT_FALSE(hub.sendVideo(3, envelope));
  EXPECT_TRUE(hub.sendAudio("veltrano.audio", envelope));
  using Messages = std::vector<Bytes>;
  EXPECT_EQ(received(both, "veltrano.video.1"), Messages{envelope});
  EXPECT_EQ(received(both, "veltrano.video.2"), Messages{large});
  EXPECT_EQ(received(both, "veltrano.audio"), Messages{envelope});
  EXPECT_EQ(received(first, "veltrano.video.1"), Messages{envelope});
  EXPECT_EQ(received(first, "veltrano.audio"), Messages{});
  for (const auto& label : allChannels) EXPECT_EQ(received(idle, label), Messages{}) << label;
}

TEST_F(MediaHub, APeerThatCannotTakeTheEnvelopeFailsTheFanOutButNotTheOthers) {
  struct Case {
    const char* name;
    std::vector<std::string> failingLabels;  // what the failing peer's tablet opened
    bool closeFailing;
  };
  const Case cases[] = {{"channel not open", {}, false},
                        {"other display only", {"veltrano.video.2"}, false},
                        {"session closed", {"veltrano.video.1"}, true}};
  for (const Case& c : cases) {
    const auto failing = addPeer(c.failingLabels), healthy = addPeer();
    if (c.closeFailing) failing->close();
    hub.registerPeer(failing, "a");  // collected first
    hub.registerPeer(healthy, "b");
    subscribe("a", false, {1});
    subscribe("b", false, {1});
    // The fan-out does not wait for the peers: a refusal shows in the fan-out that follows, which the failing
    // peer loses too (it would follow a gap).
    hub.sendVideo(1, envelope);
    received(failing, "veltrano.video.1");
    EXPECT_FALSE(hub.sendVideo(1, envelope)) << c.name;
    EXPECT_EQ(received(healthy, "veltrano.video.1"), (std::vector<Bytes>{envelope, envelope})) << c.name;
    EXPECT_TRUE(received(failing, "veltrano.video.1").empty()) << c.name;
  }
}

TEST_F(MediaHub, APeerThatFallsBehindLosesEnvelopesWithoutHoldingUpTheFanOutOrTheOthers) {
  const auto slow = addPeer(), healthy = addPeer();
  hub.registerPeer(slow, "slow");  // collected first
  hub.registerPeer(healthy, "healthy");
  subscribe("slow", false, {1});
  subscribe("healthy", false, {1});

  // The slow peer's strand is busy until released; a fan-out that waited for it would never end.
  std::promise<void> release;
  boost::asio::post(slow->executor(), [busy = release.get_future().share()] { busy.wait(); });
  const Bytes frame(100000, 9);
  constexpr int frames = 8;
  auto results = std::async(std::launch::async, [&] {
    std::vector<bool> accepted;
    for (int i = 0; i < frames; ++i) {
      accepted.push_back(hub.sendVideo(1, frame));
      boost::asio::post(healthy->executor(), boost::asio::use_future).get();  // a frame interval for the healthy one
    }
    return accepted;
  });
  const bool finished = results.wait_for(std::chrono::seconds(20)) == std::future_status::ready;
  release.set_value();
  ASSERT_TRUE(finished) << "the fan-out waited for a busy peer";
  // Five frames fit the video channel's 512 KiB budget; the others are lost to the slow peer only.
  EXPECT_EQ(results.get(), (std::vector<bool>{true, true, true, true, true, false, false, false}));
  EXPECT_EQ(received(healthy, "veltrano.video.1").size(), std::size_t{frames});
  EXPECT_EQ(received(slow, "veltrano.video.1").size(), 5u);

  // Once its strand has caught up, it takes envelopes again.
  EXPECT_TRUE(hub.sendVideo(1, frame));
  EXPECT_EQ(received(slow, "veltrano.video.1").size(), 6u);
}

TEST_F(MediaHub, RoomForAKeyframeFollowsTheBacklogOfEveryWatcherOfTheDisplay) {
  const auto slow = addPeer(), healthy = addPeer(), elsewhere = addPeer();
  hub.registerPeer(slow, "slow");
  hub.registerPeer(healthy, "healthy");
  hub.registerPeer(elsewhere, "elsewhere");
  subscribe("slow", false, {1});
  subscribe("healthy", false, {1});
  subscribe("elsewhere", false, {2});
  const std::size_t keyframeSize = 390000;
  EXPECT_TRUE(hub.hasRoomForVideo(1, keyframeSize));
  EXPECT_TRUE(hub.hasRoomForVideo(3, keyframeSize));  // nobody watches

  std::promise<void> release;
  boost::asio::post(slow->executor(), [busy = release.get_future().share()] { busy.wait(); });
  const Bytes frame(100000, 9);
  EXPECT_TRUE(hub.sendVideo(1, frame));
  EXPECT_TRUE(hub.hasRoomForVideo(1, keyframeSize));  // 490000 bytes fit the 512 KiB budget
  EXPECT_TRUE(hub.sendVideo(1, frame));
  EXPECT_FALSE(hub.hasRoomForVideo(1, keyframeSize));
  EXPECT_TRUE(hub.hasRoomForVideo(1, 1000));
  EXPECT_TRUE(hub.hasRoomForVideo(2, keyframeSize));  // the slow one's backlog is on another channel
  // What it says agrees with what a fan-out does.
  for (int i = 0; i < 3; ++i) EXPECT_TRUE(hub.sendVideo(1, frame));
  EXPECT_FALSE(hub.hasRoomForVideo(1, frame.size()));
  EXPECT_FALSE(hub.sendVideo(1, frame));

  // The slow peer's strand catches up: its backlog drains and there is room again.
  release.set_value();
  EXPECT_EQ(received(slow, "veltrano.video.1").size(), 5u);
  EXPECT_GE(received(healthy, "veltrano.video.1").size(), 5u);  // the last one too, if its strand kept up
  EXPECT_TRUE(hub.hasRoomForVideo(1, keyframeSize));
  hub.remove("slow");
  EXPECT_TRUE(hub.hasRoomForVideo(1, keyframeSize));
}

TEST_F(MediaHub, AListenerGetsTheAudioConfigurationBeforeItsFirstFrame) {
  const Bytes firstConfiguration = makeAudioConfigurationEnvelope(AudioFormat{});
  const Bytes secondConfiguration = makeAudioConfigurationEnvelope(AudioFormat{32000, 1, 640});
  const Bytes frame = makeAudioFrameEnvelope(AudioPacket{1, AudioFormat{}, Bytes(3840, 1)});
  const auto early = addPeer(), late = addPeer(), none = addPeer();
  hub.registerPeer(early, "early");
  hub.registerPeer(late, "late");
  subscribe("early", true, {});
  using Messages = std::vector<Bytes>;

  // No configuration known yet: frames wait for one.
  EXPECT_FALSE(hub.sendAudio("veltrano.audio", frame));
  EXPECT_TRUE(hub.sendAudio("veltrano.audio", firstConfiguration));
  EXPECT_TRUE(hub.sendAudio("veltrano.audio", frame));
  EXPECT_EQ(received(early, "veltrano.audio"), (Messages{firstConfiguration, frame}));

  // A listener joining others gets the known configuration ahead of its first frame; the same configuration
  // offered again (as the server does for a new listener) reaches only listeners without it.
  subscribe("late", true, {});
  EXPECT_TRUE(hub.sendAudio("veltrano.audio", frame));
  EXPECT_TRUE(hub.sendAudio("veltrano.audio", firstConfiguration));
  EXPECT_EQ(received(early, "veltrano.audio"), (Messages{firstConfiguration, frame, frame}));
  EXPECT_EQ(received(late, "veltrano.audio"), (Messages{firstConfiguration, frame}));

  // A change reaches everyone; a listener that turns audio off and on again hears the current one first.
  EXPECT_TRUE(hub.sendAudio("veltrano.audio", secondConfiguration));
  subscribe("late", false, {});
  subscribe("late", true, {});
  EXPECT_TRUE(hub.sendAudio("veltrano.audio", frame));
  EXPECT_EQ(received(early, "veltrano.audio"), (Messages{firstConfiguration, frame, frame, secondConfiguration, frame}));
  EXPECT_EQ(received(late, "veltrano.audio"),
            (Messages{firstConfiguration, frame, secondConfiguration, secondConfiguration, frame}));

  // Stopping forgets the configuration: the next listener waits for the server's again.
  hub.removeAll();
  hub.registerPeer(none, "none");
  subscribe("none", true, {});
  EXPECT_FALSE(hub.sendAudio("veltrano.audio", frame));
  EXPECT_TRUE(received(none, "veltrano.audio").empty());
}

TEST_F(MediaHub, OnlyRegisteredSessionsChangeAndRegisteringAgainStartsAfresh) {
  const auto old = addPeer(), replacement = addPeer(), other = addPeer();
  subscribe("s", true, {1});
  EXPECT_EQ(std::tuple(hub.viewerCount(1), hub.audioListenerCount()), std::tuple(0, 0));
  hub.registerPeer(old, "s");
  subscribe("s", true, {1});
  hub.registerPeer(replacement, "s");
  EXPECT_EQ(std::tuple(hub.viewerCount(1), hub.audioListenerCount()), std::tuple(0, 0));
  subscribe("s", true, {1});
  EXPECT_TRUE(hub.sendAudio("veltrano.audio", envelope));
  EXPECT_TRUE(received(old, "veltrano.audio").empty());
  EXPECT_EQ(received(replacement, "veltrano.audio").size(), 1u);

  hub.registerPeer(other, "t");
  subscribe("t", true, {1});
  hub.remove("unknown");
  hub.remove("s");
  EXPECT_EQ(std::tuple(hub.viewerCount(1), hub.audioListenerCount()), std::tuple(1, 1));
  hub.removeAll();
  EXPECT_EQ(std::tuple(hub.viewerCount(1), hub.audioListenerCount()), std::tuple(0, 0));
  EXPECT_FALSE(hub.sendVideo(1, envelope));
  EXPECT_FALSE(hub.sendAudio("veltrano.audio", envelope));
  EXPECT_TRUE(received(other, "veltrano.video.1").empty());
}

TEST_F(MediaHub, ASessionBackAfterAGapRefusesOneEnvelopePerWatchedDisplayThenTakesTheRest) {
  const auto resumed = addPeer(), steady = addPeer();
  hub.registerPeer(resumed, "resumed");
  hub.registerPeer(steady, "steady");
  subscribe("resumed", true, {1});
  subscribe("steady", false, {1, 2});
  hub.resumeAfterGap("unknown");
  // Its connection comes back as it does after an ICE restart: registered again, then told of the gap.
  hub.registerPeer(resumed, "resumed");
  subscribe("resumed", true, {1});
  hub.resumeAfterGap("resumed");
  EXPECT_FALSE(hub.sendVideo(1, envelope));  // the server then waits for a keyframe
  EXPECT_TRUE(hub.sendVideo(2, envelope));
  EXPECT_TRUE(hub.sendAudio("veltrano.audio", envelope));
  EXPECT_TRUE(hub.sendVideo(1, envelope));
  using Messages = std::vector<Bytes>;
  EXPECT_EQ(received(resumed, "veltrano.video.1"), Messages{envelope});
  EXPECT_EQ(received(resumed, "veltrano.audio"), Messages{envelope});
  EXPECT_EQ(received(steady, "veltrano.video.1"), (Messages{envelope, envelope}));
  EXPECT_EQ(received(steady, "veltrano.video.2"), Messages{envelope});
}

TEST_F(MediaHub, TableChangesRaceSafelyWithFanOutsFromSeveralServers) {
  const auto steady = addPeer(), coming = addPeer();
  hub.registerPeer(steady, "steady");
  subscribe("steady", true, {1, 2});
  constexpr int rounds = 200;
  std::atomic<int> failures{0}, serversDone{0};
  std::latch start(allChannels.size() + 1);
  std::vector<std::thread> servers;
  for (const auto& label : allChannels) {
    servers.emplace_back([&, label] {
      start.arrive_and_wait();
      for (int i = 0; i < rounds; ++i) {
        const bool sent = label == "veltrano.audio" ? hub.sendAudio(label, envelope)
                                                    : hub.sendVideo(label.back() - '0', envelope);
        if (!sent) ++failures;  // the steady session always takes it
      }
      ++serversDone;
    });
  }
  start.arrive_and_wait();
  // The table keeps changing for as long as the servers send.
  while (serversDone < static_cast<int>(servers.size())) {
    hub.registerPeer(coming, "coming");
    subscribe("coming", true, {1, 2});
    EXPECT_EQ(hub.viewerCount(2), 2);
    hub.remove("coming");
  }
  for (auto& server : servers) server.join();
  EXPECT_EQ(failures, 0);
  for (const auto& label : allChannels) EXPECT_EQ(received(steady, label).size(), std::size_t{rounds}) << label;
}

}  // namespace
}  // namespace veltrano
