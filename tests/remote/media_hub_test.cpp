#include <boost/asio/post.hpp>
#include <boost/asio/use_future.hpp>
#include <gtest/gtest.h>

#include <atomic>
#include <deque>
#include <map>
#include <thread>

#include "remote/data_channel_chunks.hpp"
#include "remote/remote_host_media_hub.hpp"
#include "support/fake_webrtc_peer.hpp"
#include "support/recorded_values.hpp"

namespace veltrano {
namespace {

using testing::FakeDataChannel;
using webrtc::DataChannelState;

const Bytes envelope{'V', 'L', 'V', '1', 0, 1, 2, 3};

// One remote session's peer with the channels its tablet opened.
struct RemotePeer {
  std::shared_ptr<WebRTCPeerSession> session;
  std::shared_ptr<testing::FakePeerConnection> connection;
  std::map<std::string, std::shared_ptr<FakeDataChannel>> channels;

  // The messages that arrived on `label`, each put back together from its chunks.
  std::vector<Bytes> received(const std::string& label) const {
    std::vector<Bytes> messages;
    const auto found = channels.find(label);
    if (found == channels.end()) return messages;
    for (const auto& frame : found->second->sent()) {
      if (readChunkHeader(frame)->index == 0) messages.emplace_back();
      messages.back().insert(messages.back().end(), frame.begin() + chunkHeaderSize, frame.end());
    }
    return messages;
  }
};

class MediaHub : public ::testing::Test {
 protected:
  void TearDown() override {
    for (const auto& peer : peers) {
      peerFactory.network().flush();
      boost::asio::post(peer.session->executor(), boost::asio::use_future).get();
    }
  }

  RemotePeer& addPeer(std::vector<std::string> labels) {
    RemotePeer& peer = peers.emplace_back();
    peer.session = WebRTCPeerSession::create({}, false, {peerFactory.function(), &clock, 0});
    peer.session->callbacks().onChannelOpened = opened.recorder();
    peer.connection = peerFactory.last();
    for (const auto& label : labels) {
      const std::size_t before = opened.size();
      peer.channels[label] = peer.connection->emitDataChannel(label, DataChannelState::open);
      EXPECT_TRUE(opened.waitForCount(before + 1));
    }
    return peer;
  }

  testing::FakePeerFactory peerFactory;
  VirtualClock clock;
  testing::RecordedValues<std::string> opened;
  std::deque<RemotePeer> peers;
  RemoteHostMediaHub hub;
};

TEST_F(MediaHub, EnvelopesReachExactlyTheSessionsThatWatchOrListen) {
  const auto& both = addPeer({"veltrano.video.1", "veltrano.video.2", "veltrano.audio"});
  const auto& first = addPeer({"veltrano.video.1", "veltrano.audio"});
  const auto& idle = addPeer({"veltrano.video.1", "veltrano.audio"});
  hub.registerPeer(both.session, "both");
  hub.registerPeer(first.session, "first");
  hub.registerPeer(idle.session, "idle");
  hub.setVisibleDisplayIDs({1, 2}, "both");
  hub.setAudioEnabled(true, "both");
  hub.setVisibleDisplayIDs({1}, "first");

  EXPECT_EQ(hub.viewerCount(1), 2);
  EXPECT_EQ(hub.viewerCount(2), 1);
  EXPECT_EQ(hub.viewerCount(3), 0);
  EXPECT_EQ(hub.audioListenerCount(), 1);

  const Bytes large(150000, 7);  // several chunks, still one message
  EXPECT_TRUE(hub.sendVideo(1, envelope));
  EXPECT_TRUE(hub.sendVideo(2, large));
  EXPECT_FALSE(hub.sendVideo(3, envelope));
  EXPECT_TRUE(hub.sendAudio("veltrano.audio", envelope));

  const std::vector<Bytes> none;
  EXPECT_EQ(both.received("veltrano.video.1"), std::vector<Bytes>{envelope});
  EXPECT_EQ(both.received("veltrano.video.2"), std::vector<Bytes>{large});
  EXPECT_EQ(both.received("veltrano.audio"), std::vector<Bytes>{envelope});
  EXPECT_EQ(first.received("veltrano.video.1"), std::vector<Bytes>{envelope});
  EXPECT_EQ(first.received("veltrano.audio"), none);
  EXPECT_EQ(idle.received("veltrano.video.1"), none);
  EXPECT_EQ(idle.received("veltrano.audio"), none);
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
    hub.removeAll();
    const auto& failing = addPeer(c.failingLabels);
    const auto& healthy = addPeer({"veltrano.video.1"});
    if (c.closeFailing) failing.session->close();
    hub.registerPeer(failing.session, "failing");
    hub.registerPeer(healthy.session, "healthy");
    hub.setVisibleDisplayIDs({1}, "failing");
    hub.setVisibleDisplayIDs({1}, "healthy");
    EXPECT_FALSE(hub.sendVideo(1, envelope)) << c.name;
    EXPECT_EQ(healthy.received("veltrano.video.1"), std::vector<Bytes>{envelope}) << c.name;
    EXPECT_TRUE(failing.received("veltrano.video.1").empty()) << c.name;
  }
}

TEST_F(MediaHub, ChangesApplyOnlyToRegisteredSessionsAndRegisteringAgainStartsAfresh) {
  const auto& old = addPeer({"veltrano.video.1", "veltrano.audio"});
  const auto& replacement = addPeer({"veltrano.video.1", "veltrano.audio"});
  hub.setAudioEnabled(true, "s");
  hub.setVisibleDisplayIDs({1}, "s");
  EXPECT_EQ(hub.audioListenerCount(), 0);
  EXPECT_EQ(hub.viewerCount(1), 0);

  hub.registerPeer(old.session, "s");
  EXPECT_EQ(hub.audioListenerCount(), 0);
  hub.setAudioEnabled(true, "s");
  hub.setVisibleDisplayIDs({1}, "s");
  hub.registerPeer(replacement.session, "s");
  EXPECT_EQ(hub.audioListenerCount(), 0);
  EXPECT_EQ(hub.viewerCount(1), 0);
  hub.setAudioEnabled(true, "s");
  hub.setVisibleDisplayIDs({1}, "s");
  EXPECT_TRUE(hub.sendAudio("veltrano.audio", envelope));
  EXPECT_TRUE(hub.sendVideo(1, envelope));
  EXPECT_TRUE(old.received("veltrano.audio").empty());
  EXPECT_EQ(replacement.received("veltrano.audio").size(), 1u);
  EXPECT_EQ(replacement.received("veltrano.video.1").size(), 1u);

  hub.remove("other");
  EXPECT_EQ(hub.viewerCount(1), 1);
  hub.remove("s");
  EXPECT_EQ(hub.viewerCount(1), 0);
  EXPECT_FALSE(hub.sendVideo(1, envelope));
}

TEST_F(MediaHub, AfterRemoveAllNothingIsCountedOrSent) {
  const auto& a = addPeer({"veltrano.video.1", "veltrano.audio"});
  const auto& b = addPeer({"veltrano.video.1", "veltrano.audio"});
  for (const auto* id : {"a", "b"}) {
    hub.registerPeer(std::string(id) == "a" ? a.session : b.session, id);
    hub.setAudioEnabled(true, id);
    hub.setVisibleDisplayIDs({1}, id);
  }
  hub.removeAll();
  EXPECT_EQ(hub.viewerCount(1), 0);
  EXPECT_EQ(hub.audioListenerCount(), 0);
  EXPECT_FALSE(hub.sendVideo(1, envelope));
  EXPECT_FALSE(hub.sendAudio("veltrano.audio", envelope));
  EXPECT_TRUE(a.received("veltrano.video.1").empty());
  EXPECT_TRUE(b.received("veltrano.audio").empty());
}

TEST_F(MediaHub, TableChangesRaceSafelyWithFanOutsFromSeveralServers) {
  const auto& steady = addPeer({"veltrano.video.1", "veltrano.video.2", "veltrano.audio"});
  const auto& coming = addPeer({"veltrano.video.1", "veltrano.video.2", "veltrano.audio"});
  hub.registerPeer(steady.session, "steady");
  hub.setAudioEnabled(true, "steady");
  hub.setVisibleDisplayIDs({1, 2}, "steady");

  constexpr int rounds = 200;
  std::atomic<bool> failed{false};
  auto server = [&](auto send) {
    return std::thread([&, send] {
      for (int i = 0; i < rounds; ++i) {
        if (!send()) failed = true;  // the steady session can always take it
      }
    });
  };
  std::vector<std::thread> servers;
  servers.push_back(server([&] { return hub.sendVideo(1, envelope); }));
  servers.push_back(server([&] { return hub.sendVideo(2, envelope); }));
  servers.push_back(server([&] { return hub.sendAudio("veltrano.audio", envelope); }));
  for (int i = 0; i < rounds; ++i) {
    hub.registerPeer(coming.session, "coming");
    hub.setAudioEnabled(true, "coming");
    hub.setVisibleDisplayIDs({1, 2}, "coming");
    EXPECT_EQ(hub.viewerCount(2), 2);
    hub.remove("coming");
    EXPECT_EQ(hub.audioListenerCount(), 1);
  }
  for (auto& thread : servers) thread.join();
  EXPECT_FALSE(failed);
  for (const auto* label : {"veltrano.video.1", "veltrano.video.2", "veltrano.audio"}) {
    EXPECT_EQ(steady.received(label).size(), static_cast<std::size_t>(rounds)) << label;
    EXPECT_LE(coming.received(label).size(), static_cast<std::size_t>(rounds)) << label;
  }
}

}  // namespace
}  // namespace veltrano
