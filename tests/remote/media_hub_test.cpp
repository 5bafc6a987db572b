#include <boost/asio/post.hpp>
#include <boost/asio/use_future.hpp>
#include <gtest/gtest.h>

#include <atomic>
#include <deque>
#include <latch>
#include <map>
#include <set>
#include <tuple>
#include <thread>

#include "remote/data_channel_chunks.hpp"
#include "remote/remote_host_media_hub.hpp"
#include "support/fake_webrtc_peer.hpp"
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
    for (const auto& label : labels) {
      const std::size_t before = opened.size();
      channels[{peer.get(), label}] = peerFactory.last()->emitDataChannel(label, webrtc::DataChannelState::open);
      EXPECT_TRUE(opened.waitForCount(before + 1));
    }
    return peer;
  }
  // The messages `peer` sent on `label`, each put back together from its chunks.
  std::vector<Bytes> received(const std::shared_ptr<WebRTCPeerSession>& peer, const std::string& label) {
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
    EXPECT_FALSE(hub.sendVideo(1, envelope)) << c.name;
    EXPECT_EQ(received(healthy, "veltrano.video.1"), std::vector<Bytes>{envelope}) << c.name;
    EXPECT_TRUE(received(failing, "veltrano.video.1").empty()) << c.name;
  }
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
