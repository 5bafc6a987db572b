// The audio server over real loopback connections.
#include <gtest/gtest.h>

#include <vector>

#include "media/audio_stream_server.hpp"
#include "media/media_server_test_support.hpp"
#include "media/video_stream_server.hpp"

using namespace veltrano;
using namespace veltrano::testing;
using namespace std::chrono_literals;

template <>
LocalTransportChannel MediaServerTest<AudioStreamServer>::channel() {
  return LocalTransportChannel::audio;
}

namespace {

constexpr auto config = MediaEnvelopeType::audioConfiguration;
constexpr auto frame = MediaEnvelopeType::audioFrame;

AudioPacket packet(std::uint64_t pts, AudioFormat format = {}, std::size_t frames = 0) {
  AudioPacket p;
  p.presentationTimeMicros = pts;
  p.format = format;
  p.samples.assign((frames ? frames : format.framesPerPacket) * format.channels * 2, static_cast<std::uint8_t>(pts));
  return p;
}

class AudioStreamServerTest : public MediaServerTest<AudioStreamServer> {
 protected:
  void deliver(AudioPacket p) { runBlocking(server->deliver(std::move(p))); }
  void configure(AudioFormat f) { runBlocking(server->deliverConfiguration(f)); }
};

TEST_F(AudioStreamServerTest, ConfigurationComesBeforeAnyFrameAndFramesCarryTheirFormat) {
  auto early = connectClient(1);
  deliver(packet(1));  // no configuration yet: the client could not read it
  EXPECT_FALSE(nextMedia(*early, 100ms));

  const AudioFormat mono{24000, 1, 480};
  configure(mono);
  deliver(packet(2, mono));
  auto first = nextMedia(*early);
  ASSERT_TRUE(first);
  ASSERT_EQ(first->type, config);
  EXPECT_EQ(parseAudioConfigurationPayload(first->payload), mono);
  auto second = nextMedia(*early);
  ASSERT_TRUE(second);
  ASSERT_EQ(second->type, frame);
  auto parsed = parseAudioFramePayload(second->payload);
  ASSERT_TRUE(parsed);
  EXPECT_EQ(parsed->presentationTimeMicros, 2u);
  EXPECT_EQ(parsed->format, mono);

  // A client that joins later gets the stored configuration first.
  auto late = connectClient(2);
  deliver(packet(3, mono));
  EXPECT_EQ(nextMedia(*late)->type, config);
  EXPECT_EQ(nextMedia(*late)->type, frame);

  // A new format reaches everyone before frames in it.
  const AudioFormat stereo{48000, 2, 960};
  ASSERT_EQ(nextMedia(*early)->type, frame);
  configure(stereo);
  deliver(packet(4, stereo));
  for (auto* client : {early.get(), late.get()}) {
    auto announced = nextMedia(*client);
    ASSERT_TRUE(announced);
    ASSERT_EQ(announced->type, config);
    EXPECT_EQ(parseAudioConfigurationPayload(announced->payload), stereo);
    auto next = nextMedia(*client);
    ASSERT_TRUE(next);
    EXPECT_EQ(parseAudioFramePayload(next->payload)->format, stereo);
  }
  EXPECT_TRUE(main.runUntil([&] { return metrics->audioFrames.get() == 4; }));
  EXPECT_TRUE(main.runUntil([&] { return metrics->audioBytesSent.get() > 0; }));
}

TEST_F(AudioStreamServerTest, SlowClientLosesItsOldestFramesAndNeverHasMoreThanTwoWaiting) {
  const AudioFormat format{48000, 2, 960};
  configure(format);
  auto stalled = connectNonReadingClient(port, LocalTransportChannel::audio, accountKey);
  ASSERT_TRUE(waitForClients(1));

  std::size_t mostWaiting = 0;
  bool newestAlwaysLast = true;
  std::uint64_t pts = 0;
  for (int i = 0; i < 3000; ++i) {
    deliver(packet(++pts, format, 8000));  // 32 KB of samples
    auto [waiting, lastPts] = onExecutor(server, [](AudioStreamServer& s) {
      std::pair<std::size_t, std::uint64_t> seen{0, 0};
      for (auto& [id, client] : s.clients()) {
        seen.first = client->waitingFrameCount();
        if (!client->queue.empty()) {
          seen.second = parseAudioFramePayload(parseMediaEnvelope(*client->queue.back().envelope)->payload)
                            ->presentationTimeMicros;
        }
      }
      return seen;
    });
    mostWaiting = std::max(mostWaiting, waiting);
    if (waiting > 0 && lastPts != pts) newestAlwaysLast = false;
    if (mostWaiting == 2 && i > 200) break;
  }
  EXPECT_EQ(mostWaiting, 2u);
  EXPECT_TRUE(newestAlwaysLast);
  EXPECT_TRUE(main.runUntil([&] { return metrics->audioFramesDropped.get() > 0; }));
  stalled->cancel();
}

TEST_F(AudioStreamServerTest, ExternalSinkGetsFramesAndTheConfigurationWhenSetOrWhenAListenerJoins) {
  RecordingSink recording;
  const ExternalPacketSink sink = recording.sink();
  auto take = [&] { return recording.takeTypes(); };

  configure(AudioFormat{});
  runBlocking(server->applyExternalClients(1, sink));
  EXPECT_TRUE(metricReaches(metrics->audioClients, 1));
  deliver(packet(1));
  EXPECT_EQ(take(), (std::vector{config, frame}));  // a new listener learns the format first
  runBlocking(server->applyExternalClients(2, sink));
  runBlocking(server->applyExternalClients(1, sink));
  deliver(packet(1));
  EXPECT_EQ(take(), (std::vector{config, frame}));  // again for the second; none when one leaves

  configure(AudioFormat{32000, 2, 640});
  deliver(packet(2, AudioFormat{32000, 2, 640}));
  EXPECT_EQ(take(), (std::vector{config, frame}));

  recording.accepting = false;
  deliver(packet(3, AudioFormat{32000, 2, 640}));
  EXPECT_TRUE(main.runUntil([&] { return metrics->audioFramesDropped.get() == 1; }));

  runBlocking(server->applyExternalClients(0, sink));
  EXPECT_TRUE(metricReaches(metrics->audioClients, 0));
  take();
  configure(AudioFormat{});
  deliver(packet(4));
  EXPECT_TRUE(take().empty());
}

TEST_F(AudioStreamServerTest, StopClosesClientsAndForgetsTheConfiguration) {
  configure(AudioFormat{});
  auto client = connectClient(1);
  EXPECT_TRUE(metricReaches(metrics->audioClients, 1));
  runBlocking(server->stop());
  EXPECT_TRUE(client->waitUntilClosedBlocking(3s));
  EXPECT_TRUE(metricReaches(metrics->audioClients, 0));
  EXPECT_FALSE(onExecutor(server, [](AudioStreamServer& s) { return s.configuration().has_value(); }));

  runBlocking(server->start());
  port = server->listeningPort();
  auto fresh = connectClient(1);
  deliver(packet(1));
  EXPECT_FALSE(nextMedia(*fresh, 150ms));  // nothing until a configuration is set again
}

TEST(MediaStreamServerLifecycle, StopOnServerThatNeverStartedIsHarmlessAndReportsNoClients) {
  MainLoopForTests main;
  auto metrics = std::make_shared<MetricsStore>();
  metrics->audioClients.set(2);
  metrics->videoClients.set(3);
  auto audio = AudioStreamServer::create(0, metrics);
  auto video = VideoStreamServer::create(0, metrics);
  runBlocking(audio->stop());
  runBlocking(video->stop());
  EXPECT_TRUE(main.runUntil([&] { return metrics->audioClients.get() == 0 && metrics->videoClients.get() == 0; }));
  runBlocking(video->stop());
}

}  // namespace
