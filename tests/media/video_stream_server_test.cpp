// The video server over real loopback connections: clients run the real handshake and read sealed records.
#include <gtest/gtest.h>

#include <algorithm>
#include <mutex>
#include <vector>

#include "media/media_server_test_support.hpp"
#include "media/video_stream_server.hpp"

using namespace veltrano;
using namespace veltrano::testing;
using namespace std::chrono_literals;

template <>
LocalTransportChannel MediaServerTest<VideoStreamServer>::channel() {
  return LocalTransportChannel::video;
}

namespace {

constexpr auto config = MediaEnvelopeType::videoConfiguration;
constexpr auto frame = MediaEnvelopeType::videoFrame;

class VideoStreamServerTest : public MediaServerTest<VideoStreamServer> {
 protected:
  void SetUp() override {
    MediaServerTest::SetUp();
    runBlocking(server->setEncoder(encoder));
  }
  void deliver(EncodedVideoFrame f) { runBlocking(server->deliver(std::move(f))); }
  // Reads `records` records and returns the presentation times of the frames among them.
  std::vector<std::uint64_t> takeFramePts(LocalTestClient& client, int records) {
    std::vector<std::uint64_t> pts;
    for (int i = 0; i < records; ++i) {
      auto media = nextMedia(client);
      if (!media) break;
      if (media->type == frame) pts.push_back(media->videoPts());
    }
    return pts;
  }

  std::shared_ptr<CountingKeyframeTarget> encoder = std::make_shared<CountingKeyframeTarget>();
};

TEST_F(VideoStreamServerTest, ClientJoiningMidStreamGetsStoredConfigurationAndWaitsForKeyframe) {
  auto first = connectClient(1);
  deliver(keyframe(1));
  deliver(delta(2));
  EXPECT_EQ(takeFramePts(*first, 3), (std::vector<std::uint64_t>{1, 2}));
  const int requestsBefore = encoder->requests;

  auto late = connectClient(2);
  EXPECT_EQ(encoder->requests, requestsBefore + 1);  // joins are never rate-limited
  auto stored = nextMedia(*late);
  ASSERT_TRUE(stored);
  EXPECT_EQ(stored->type, config);

  deliver(delta(3));  // the late client cannot use it
  EXPECT_EQ(takeFramePts(*first, 1), (std::vector<std::uint64_t>{3}));
  EXPECT_FALSE(nextMedia(*late, 100ms));
  deliver(keyframe(4));
  EXPECT_EQ(takeFramePts(*first, 2), (std::vector<std::uint64_t>{4}));
  deliver(delta(5));
  EXPECT_EQ(takeFramePts(*first, 1), (std::vector<std::uint64_t>{5}));

  // The two frames it can use, and nothing after them.
  std::vector<std::uint64_t> lateFrames;
  while (lateFrames.size() < 2) {
    auto media = nextMedia(*late);
    if (!media) break;
    if (media->type == frame) lateFrames.push_back(media->videoPts());
  }
  while (auto media = nextMedia(*late, 300ms)) {
    if (media->type == frame) lateFrames.push_back(media->videoPts());
  }
  EXPECT_EQ(lateFrames, (std::vector<std::uint64_t>{4, 5}));
}

TEST_F(VideoStreamServerTest, NothingBeforeTheFirstKeyframeThenAConfigurationBeforeEveryKeyframe) {
  auto client = connectClient(1);
  EXPECT_EQ(encoder->requests, 1);  // a joining client asks for a keyframe
  std::vector<ReceivedMedia> received;
  auto deliverAndRead = [&](EncodedVideoFrame f, int records) {
    deliver(std::move(f));
    for (int i = 0; i < records; ++i) {
      auto media = nextMedia(*client);
      ASSERT_TRUE(media);
      received.push_back(*media);
    }
  };
  deliverAndRead(delta(1), 0);  // nothing can decode this yet
  deliverAndRead(keyframe(2, 300), 2);
  deliverAndRead(delta(3, 40), 1);
  deliverAndRead(keyframe(4), 2);
  deliverAndRead(makeFrame(true, 5, 64, testParameterSets(1280, 720, 1)), 2);
  deliverAndRead(delta(6), 1);
  EXPECT_FALSE(nextMedia(*client, 100ms));

  ASSERT_EQ(received.size(), 8u);
  ASSERT_EQ(received[0].type, config);
  auto first = parseVideoConfigurationPayload(received[0].payload);
  ASSERT_TRUE(first);
  EXPECT_EQ(first->codedWidth * 1000 + first->codedHeight, 640'480u);
  EXPECT_EQ(first->decoderConfigurationRecord.at(1), 0x42);  // profile of the SPS
  EXPECT_EQ(received[1].videoPts(), 2u);
  EXPECT_EQ(parseVideoFramePayload(received[1].payload)->accessUnit, keyframe(2, 300).accessUnit);
  EXPECT_EQ(received[2].type, frame);
  EXPECT_FALSE(received[2].isKeyframe());
  EXPECT_EQ(received[2].videoPts(), 3u);
  int keyframes = 0;
  for (std::size_t i = 0; i < received.size(); ++i) {
    if (!received[i].isKeyframe()) continue;
    ++keyframes;
    ASSERT_GT(i, 0u);
    EXPECT_EQ(received[i - 1].type, config) << "keyframe at " << i;
  }
  EXPECT_EQ(keyframes, 3);
  auto last = parseVideoConfigurationPayload(received[5].payload);
  ASSERT_TRUE(last);
  EXPECT_EQ(last->codedWidth * 1000 + last->codedHeight, 1280'720u);
}

TEST_F(VideoStreamServerTest, SlowClientNeverHasMoreThanTwoWaitingFramesAndAsksForKeyframesAtMostOncePerSecond) {
  auto stalled = connectNonReadingClient(port, LocalTransportChannel::video, accountKey);
  ASSERT_TRUE(waitForClients(1));
  ASSERT_EQ(encoder->requests, 1);
  clock.advance(5s);

  std::size_t mostWaiting = 0;
  std::size_t longestQueue = 0;
  auto observe = [&] {
    auto [waiting, queued] = onExecutor(server, [](VideoStreamServer& s) {
      std::pair<std::size_t, std::size_t> sizes{0, 0};
      for (auto& [id, client] : s.clients()) sizes = {client->waitingFrameCount(), client->queue.size()};
      return sizes;
    });
    mostWaiting = std::max(mostWaiting, waiting);
    longestQueue = std::max(longestQueue, queued);
  };
  // A cycle a stalled client cannot keep up with: one keyframe and three deltas of 512 KiB each.
  std::uint64_t pts = 0;
  auto cycle = [&] {
    deliver(keyframe(++pts, 512 * 1024));
    observe();
    for (int i = 0; i < 3; ++i) {
      deliver(delta(++pts, 512 * 1024));
      observe();
    }
  };

  for (int i = 0; i < 100 && encoder->requests < 2; ++i) cycle();
  ASSERT_EQ(encoder->requests, 2) << "congestion never asked for a keyframe";

  // Within the same second further congestion asks for nothing more.
  for (int i = 0; i < 5; ++i) cycle();
  EXPECT_EQ(encoder->requests, 2);
  clock.advance(1s);
  for (int i = 0; i < 20 && encoder->requests < 3; ++i) cycle();
  EXPECT_EQ(encoder->requests, 3);

  EXPECT_LE(mostWaiting, 2u);
  EXPECT_LE(longestQueue, 4u);  // two frames, each keyframe with its configuration ahead of it
  EXPECT_TRUE(main.runUntil([&] { return metrics->videoFramesDropped.get() > 0; }));
  stalled->cancel();
}

TEST_F(VideoStreamServerTest, WhatClientsSendIsDiscardedButGarbageClosesTheConnection) {
  auto client = connectClient(1);
  client->sendRecord(asBytes("ignored"));  // authenticated, opened and dropped
  deliver(keyframe(1));
  ASSERT_TRUE(nextMedia(*client));
  ASSERT_TRUE(nextMedia(*client));

  client->sendRaw(Bytes(40, 0x5A));
  EXPECT_TRUE(client->waitUntilClosedBlocking(3s));
  EXPECT_TRUE(waitForClients(0));
  auto lines = logs.messages();
  EXPECT_NE(std::find(lines.begin(), lines.end(), "Closing local video connection: secure record rejected"),
            lines.end());
}

TEST_F(VideoStreamServerTest, ClientCountsIncludeExternalViewersAndReachMetricsAndHandler) {
  std::mutex mutex;
  std::vector<int> reported;
  runBlocking(server->setClientCountHandler([&](int total) {
    std::lock_guard lock(mutex);
    reported.push_back(total);
  }));

  auto a = connectClient(1);
  EXPECT_TRUE(metricReaches(metrics->videoClients, 1));
  EXPECT_TRUE(server->hasViewers());
  auto b = connectClient(2);
  EXPECT_TRUE(metricReaches(metrics->videoClients, 2));

  RecordingSink sink;
  runBlocking(server->applyExternalClients(3, sink.sink()));
  EXPECT_TRUE(metricReaches(metrics->videoClients, 5));
  EXPECT_EQ(server->viewerCount(), 5);

  a->close();
  EXPECT_TRUE(metricReaches(metrics->videoClients, 4));
  runBlocking(server->applyExternalClients(0, sink.sink()));
  EXPECT_TRUE(metricReaches(metrics->videoClients, 1));
  b->close();
  EXPECT_TRUE(metricReaches(metrics->videoClients, 0));
  EXPECT_FALSE(server->hasViewers());

  runBlocking(server->setClientCountHandler(nullptr));
  std::lock_guard lock(mutex);
  EXPECT_EQ(reported, (std::vector<int>{1, 2, 5, 4, 1, 0}));
}

TEST_F(VideoStreamServerTest, ExternalSinkGetsEveryEnvelopeAndWaitsForKeyframeAfterRefusal) {
  RecordingSink sink;
  runBlocking(server->applyExternalClients(1, sink.sink()));
  EXPECT_EQ(encoder->requests, 1);  // the display's first remote viewer
  runBlocking(server->applyExternalClients(2, sink.sink()));
  EXPECT_EQ(encoder->requests, 2);  // a viewer joining others starts with a keyframe too
  runBlocking(server->applyExternalClients(1, sink.sink()));
  EXPECT_EQ(encoder->requests, 2);  // one leaving asks for nothing
  runBlocking(server->applyExternalClients(2, sink.sink()));
  EXPECT_EQ(encoder->requests, 3);

  deliver(keyframe(1));
  deliver(delta(2));
  EXPECT_EQ(sink.takeTypes(), (std::vector{config, frame, frame}));

  clock.advance(5s);
  sink.accepting = false;
  deliver(delta(3));  // refused
  EXPECT_TRUE(onExecutor(server, [](VideoStreamServer& s) { return s.isExternalSinkWaitingForKeyframe(); }));
  EXPECT_EQ(encoder->requests, 4);
  sink.accepting = true;
  deliver(delta(4));  // not offered: it would not decode
  EXPECT_EQ(sink.takeTypes(), (std::vector{frame}));
  EXPECT_EQ(encoder->requests, 4);
  // The keyframe asked for may be lost on a peer still behind: while waiting, the sink asks again each second.
  clock.advance(1s);
  deliver(delta(4));
  EXPECT_EQ(encoder->requests, 5);
  EXPECT_TRUE(sink.takeTypes().empty());

  deliver(keyframe(5));
  deliver(delta(6));
  EXPECT_EQ(sink.takeTypes(), (std::vector{config, frame, frame}));
  EXPECT_FALSE(onExecutor(server, [](VideoStreamServer& s) { return s.isExternalSinkWaitingForKeyframe(); }));

  // Refusals within the same second ask for one keyframe, and are logged once every two seconds.
  sink.accepting = false;
  deliver(keyframe(7));
  deliver(keyframe(8));
  EXPECT_EQ(encoder->requests, 5);  // the last request was less than a second ago
  clock.advance(1s);
  deliver(keyframe(9));
  EXPECT_EQ(encoder->requests, 6);
  auto congestionLines = [&] {
    auto lines = logs.messages();
    return std::count_if(lines.begin(), lines.end(),
                         [](const std::string& l) { return l.rfind("Remote video congestion", 0) == 0; });
  };
  EXPECT_EQ(congestionLines(), 2);  // at the first refusal and two seconds later, none between
  clock.advance(1s);
  deliver(keyframe(10));
  EXPECT_EQ(congestionLines(), 2);
  clock.advance(1s);
  deliver(keyframe(10));
  EXPECT_EQ(congestionLines(), 3);
  EXPECT_TRUE(main.runUntil([&] { return metrics->videoFramesDropped.get() >= 5; }));

  runBlocking(server->applyExternalClients(0, sink.sink()));
  auto [waiting, requestedAt, hasSink] = onExecutor(server, [](VideoStreamServer& s) {
    return std::tuple{s.isExternalSinkWaitingForKeyframe(), s.lastExternalKeyframeRequestTime(),
                      s.hasExternalPacketSink()};
  });
  EXPECT_FALSE(waiting);
  EXPECT_EQ(requestedAt, 0);
  EXPECT_FALSE(hasSink);
  sink.takeTypes();
  deliver(keyframe(11));
  EXPECT_TRUE(sink.takeTypes().empty());
}

TEST_F(VideoStreamServerTest, AfterARefusalASinkThatTellsItsRoomIsSentAKeyframeAsSoonAsItHasRoomAgain) {
  RecordingSink sink;
  runBlocking(server->applyExternalClients(1, sink.sinkTellingRoom()));
  deliver(keyframe(1, 5000));
  const std::size_t keyframeBytes = sink.offeredBytes();
  deliver(delta(2));
  EXPECT_EQ(sink.takeTypes(), (std::vector{config, frame, frame}));
  auto waiting = [&] {
    return onExecutor(server, [](VideoStreamServer& s) { return s.isExternalSinkWaitingForKeyframe(); });
  };

  // The peer falls behind: a frame is refused, and a keyframe would not fit either.
  clock.advance(5s);
  const int before = encoder->requests;
  sink.accepting = false;
  sink.room = false;
  deliver(delta(3));
  EXPECT_TRUE(waiting());
  EXPECT_EQ(sink.roomAskedFor, keyframeBytes);  // room for a keyframe like the last one
  // However long it stays full (here more than a second of frames), nothing is asked for or offered.
  std::uint64_t pts = 4;
  for (; pts < 80; ++pts) {
    clock.advance(16ms);
    deliver(delta(pts));
  }
  EXPECT_EQ(encoder->requests, before);
  EXPECT_EQ(sink.takeTypes(), (std::vector{frame}));

  // Room again: the first frame after asks at once, and only once.
  sink.room = true;
  sink.accepting = true;
  clock.advance(16ms);
  deliver(delta(pts++));
  EXPECT_EQ(encoder->requests, before + 1);
  clock.advance(16ms);
  deliver(delta(pts++));
  EXPECT_EQ(encoder->requests, before + 1);

  // The keyframe comes while the peer is behind again: refused, it waits for room again, then asks once more,
  // long before a second has passed.
  sink.accepting = false;
  sink.room = false;
  clock.advance(16ms);
  deliver(keyframe(pts++, 5000));
  clock.advance(16ms);
  deliver(delta(pts++));
  EXPECT_EQ(encoder->requests, before + 1);
  sink.room = true;
  sink.accepting = true;
  clock.advance(16ms);
  deliver(delta(pts++));
  EXPECT_EQ(encoder->requests, before + 2);
  EXPECT_EQ(sink.takeTypes(), (std::vector{config}));  // the refused keyframe's configuration only

  deliver(keyframe(pts++, 5000));
  deliver(delta(pts++));
  EXPECT_EQ(sink.takeTypes(), (std::vector{config, frame, frame}));
  EXPECT_FALSE(waiting());
  EXPECT_EQ(encoder->requests, before + 2);
}

TEST_F(VideoStreamServerTest, ResetStreamForgetsConfigurationAndMakesEveryoneWaitForKeyframe) {
  auto client = connectClient(1);
  RecordingSink sink;
  runBlocking(server->applyExternalClients(1, sink.sink()));
  deliver(keyframe(1));
  ASSERT_EQ(nextMedia(*client)->type, config);
  ASSERT_TRUE(nextMedia(*client)->isKeyframe());
  sink.takeTypes();

  runBlocking(server->resetStream());
  EXPECT_FALSE(onExecutor(server, [](VideoStreamServer& s) { return bool(s.parameterSetPacket()); }));
  deliver(delta(2));
  EXPECT_FALSE(nextMedia(*client, 200ms));
  EXPECT_TRUE(sink.takeTypes().empty());

  // A keyframe that arrives without sets now has nothing to describe it: it is dropped and another requested.
  clock.advance(5s);
  const int requestsBefore = encoder->requests;
  auto bare = keyframe(3);
  bare.parameterSets.reset();
  deliver(bare);
  EXPECT_FALSE(nextMedia(*client, 200ms));
  EXPECT_EQ(encoder->requests, requestsBefore + 1);

  deliver(makeFrame(true, 4, 64, testParameterSets(800, 600)));
  auto configuration = nextMedia(*client);
  ASSERT_TRUE(configuration);
  ASSERT_EQ(configuration->type, config);
  EXPECT_EQ(parseVideoConfigurationPayload(configuration->payload)->codedWidth, 800u);
  EXPECT_EQ(nextMedia(*client)->videoPts(), 4u);
  EXPECT_EQ(sink.takeTypes(), (std::vector{config, frame}));
}

TEST_F(VideoStreamServerTest, StopClosesEveryClientReportsZeroAndFreesThePortAtOnce) {
  auto a = connectClient(1);
  auto b = connectClient(2);
  RecordingSink sink;
  runBlocking(server->applyExternalClients(1, sink.sink()));
  EXPECT_TRUE(metricReaches(metrics->videoClients, 3));

  runBlocking(server->stop());
  EXPECT_TRUE(a->waitUntilClosedBlocking(3s));
  EXPECT_TRUE(b->waitUntilClosedBlocking(3s));
  EXPECT_TRUE(metricReaches(metrics->videoClients, 0));
  EXPECT_EQ(onExecutor(server, [](VideoStreamServer& s) { return s.clients().size(); }), 0u);
  EXPECT_FALSE(onExecutor(server, [](VideoStreamServer& s) { return s.hasExternalPacketSink(); }));
  EXPECT_EQ(server->listeningPort(), 0);

  auto again = makeServer(port);
  runBlocking(again->start());
  EXPECT_EQ(again->listeningPort(), port);
  runBlocking(again->stop());
}

TEST_F(VideoStreamServerTest, DisplaysSharingATallyReportTheirSumNotTheLastCount) {
  auto tally = std::make_shared<ClientCountTally>();
  auto serverFor = [&] {
    auto display = makeServer(0, tally);
    runBlocking(display->start());
    return display;
  };
  auto first = serverFor();
  auto second = serverFor();

  auto client = LocalTestClient::connectBlocking(first->listeningPort(), LocalTransportChannel::video, accountKey);
  EXPECT_TRUE(metricReaches(metrics->videoClients, 1));
  RecordingSink sink;
  runBlocking(second->applyExternalClients(2, sink.sink()));
  EXPECT_TRUE(metricReaches(metrics->videoClients, 3));
  runBlocking(first->publishClientCount());  // a republication of the same count changes nothing
  runBlocking(second->applyExternalClients(0, sink.sink()));
  EXPECT_TRUE(metricReaches(metrics->videoClients, 1));

  runBlocking(first->stop());
  EXPECT_TRUE(metricReaches(metrics->videoClients, 0));
  runBlocking(second->stop());
}

}  // namespace
