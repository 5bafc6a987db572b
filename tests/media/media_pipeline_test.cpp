// The whole media path as the host wires it, through the network: the capture service feeds the display's
// encoder, the encoder hands its access units to the video server, and the capture service records the sound for
// the audio server. Local clients connect through the real handshake and read what a tablet would read; ffmpeg
// decodes the video independently. Also the capture on an X server that freezes or goes away.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "base/executors.hpp"
#include "capture_test_support.hpp"
#include "core/metrics_store.hpp"
#include "media/actor_access.hpp"
#include "media/audio_stream_server.hpp"
#include "media/media_envelope.hpp"
#include "media/screen_capture_service.hpp"
#include "media/video_encoder_service.hpp"
#include "media/video_stream_server.hpp"
#include "support/two_monitor_screen.hpp"
#include "platform/audio/tone_player.hpp"
#include "platform/crypto/signing_key.hpp"
#include "platform/h264/avc_record_reader.hpp"
#include "platform/h264/ffmpeg_decoder.hpp"
#include "support/local_test_client.hpp"
#include "support/pulse_test_env.hpp"
#include "support/run_blocking.hpp"
#include "transport/veltrano_identity.hpp"

namespace veltrano {
namespace {

using namespace std::chrono_literals;
using testing::awaitOn;
using testing::LocalTestClient;
using test::Rgb;

constexpr Rgb kRed{200, 30, 40};
constexpr Rgb kBlue{20, 40, 220};
constexpr Rgb kGreen{10, 210, 60};
constexpr Rgb kYellow{230, 220, 30};

// The largest magnitude among the packet's signed 16-bit little-endian samples.
int loudestSample(const AudioPacket& packet) {
  int loudest = 0;
  for (std::size_t i = 0; i + 1 < packet.samples.size(); i += 2) {
    const auto value = static_cast<std::int16_t>(packet.samples[i] | (packet.samples[i + 1] << 8));
    loudest = std::max(loudest, std::abs(static_cast<int>(value)));
  }
  return loudest;
}

struct ReceivedEnvelope {
  MediaEnvelopeType type;
  Bytes payload;
};

void expectColour(const test::DecodedVideo& video, std::size_t frame, int x, int y, Rgb colour) {
  const auto rgb = video.rgbAt(frame, x, y);
  EXPECT_NEAR(rgb[0], colour.r, 12) << "frame " << frame << " at " << x << "," << y;
  EXPECT_NEAR(rgb[1], colour.g, 12) << "frame " << frame << " at " << x << "," << y;
  EXPECT_NEAR(rgb[2], colour.b, 12) << "frame " << frame << " at " << x << "," << y;
}

// The host's media actors for one display on a private two-monitor X server, the servers on free loopback
// ports, and an account key the clients authenticate with.
class MediaPipelineTest : public ::testing::Test {
 protected:
  void TearDown() override {
    for (auto& client : clients) client->close();
    if (capture) awaitOn(loop, capture->stopCapture());
    if (encoder) awaitOn(loop, encoder->stopSession());
    if (videoServer) awaitOn(loop, videoServer->stop());
    if (audioServer) awaitOn(loop, audioServer->stop());
    loop.drain();
  }

  // Wires the actors as the host does for the display that also captures the sound.
  void startServicesAndCapture(std::uint32_t displayID, std::string soundServer) {
    MediaServerDependencies dependencies;
    dependencies.identityProvider = [key = accountKey] { return VeltranoIdentity(key); };
    videoServer = VideoStreamServer::create(0, metrics, dependencies);
    audioServer = AudioStreamServer::create(0, metrics, dependencies);
    encoder = VideoEncoderService::create(metrics);
    awaitOn(loop, onActor(encoder, [s = videoServer](VideoEncoderService& e) { e.setFrameSink(s); }));
    awaitOn(loop, videoServer->setEncoder(encoder));
    awaitOn(loop, videoServer->start());
    awaitOn(loop, audioServer->start());
    ASSERT_NE(videoServer->listeningPort(), 0);
    ASSERT_NE(audioServer->listeningPort(), 0);
    capture = ScreenCaptureService::create(metrics, encoder, videoServer, audioServer, true,
                                           {screen.name(), std::move(soundServer)});
    awaitOn(loop, capture->startCapture(displayID));
  }

  std::shared_ptr<LocalTestClient> connect(std::uint16_t port, LocalTransportChannel channel) {
    auto client = awaitOn(loop, LocalTestClient::connect(port, channel, accountKey, {}));
    clients.push_back(client);
    return client;
  }

  // The next record as one media envelope, with the main loop turning meanwhile; nullopt when none came.
  std::optional<ReceivedEnvelope> nextEnvelope(LocalTestClient& client, std::chrono::milliseconds timeout = 3s) {
    auto record = awaitOn(loop, client.nextRecord(timeout), timeout + 2s);
    if (!record) return std::nullopt;
    auto envelope = parseMediaEnvelope(*record);
    if (!envelope) {
      ADD_FAILURE() << "a record that is not one media envelope";
      return std::nullopt;
    }
    return ReceivedEnvelope{envelope->type, Bytes(envelope->payload.begin(), envelope->payload.end())};
  }

  MainLoopForTests loop;
  test::TwoMonitorScreen screen;
  platform::SigningKey accountKey = platform::SigningKey::generate();
  std::shared_ptr<MetricsStore> metrics = std::make_shared<MetricsStore>();
  std::shared_ptr<VideoStreamServer> videoServer;
  std::shared_ptr<AudioStreamServer> audioServer;
  std::shared_ptr<VideoEncoderService> encoder;
  std::shared_ptr<ScreenCaptureService> capture;
  std::vector<std::shared_ptr<LocalTestClient>> clients;
};

TEST_F(MediaPipelineTest, VideoClientGetsConfigurationAndKeyframeFirstAndFramesDecodeToWhatWasDrawn) {
  VELTRANO_REQUIRE_FFMPEG();
  VELTRANO_START_TWO_MONITOR_SCREEN(screen);
  screen.fill(screen.left().bounds, kRed);
  screen.fill(screen.right().bounds, kBlue);
  screen.fill({320, 300, 320, 180}, kGreen);  // lower part of the right monitor
  // No sound server: the picture runs without it.
  startServicesAndCapture(screen.right().id, "unix:/nonexistent/veltrano-no-pulse");
  EXPECT_EQ(awaitOn(loop, capture->availableDisplays()),
            (std::vector<DisplayInfo>{{screen.left().id, "VL-LEFT", 320, 480, 0},
                                      {screen.right().id, "VL-RIGHT", 320, 480, 0}}));
  auto client = connect(videoServer->listeningPort(), LocalTransportChannel::video);

  const auto configuration = nextEnvelope(*client);
  ASSERT_TRUE(configuration);
  ASSERT_EQ(configuration->type, MediaEnvelopeType::videoConfiguration);
  const auto described = parseVideoConfigurationPayload(configuration->payload);
  ASSERT_TRUE(described);
  EXPECT_EQ(described->codedWidth, 320u);
  EXPECT_EQ(described->codedHeight, 480u);
  const auto sets = test::readAvcRecord(described->decoderConfigurationRecord);
  ASSERT_EQ(sets.sps.size(), 1u);
  ASSERT_EQ(sets.pps.size(), 1u);

  std::vector<VideoFramePayload> frames;
  const auto first = nextEnvelope(*client);
  ASSERT_TRUE(first);
  ASSERT_EQ(first->type, MediaEnvelopeType::videoFrame);
  auto keyframe = parseVideoFramePayload(first->payload);
  ASSERT_TRUE(keyframe);
  EXPECT_TRUE(keyframe->keyframe);
  ASSERT_FALSE(test::splitLengthPrefixed(keyframe->accessUnit).empty()) << "an access unit whose lengths do not add up";
  frames.push_back(std::move(*keyframe));

  // Annex B as a client builds it: the record's sets ahead of every keyframe.
  const auto decodeAll = [&] {
    std::vector<std::uint8_t> stream;
    for (const auto& frame : frames) {
      if (frame.keyframe) {
        for (const auto& nal : sets.sps) test::appendAnnexB(stream, nal);
        for (const auto& nal : sets.pps) test::appendAnnexB(stream, nal);
      }
      for (const auto& nal : test::splitLengthPrefixed(frame.accessUnit)) test::appendAnnexB(stream, nal);
    }
    return test::decodeWithFfmpeg(stream, 320, 480);
  };
  const auto lastShowsYellow = [](const test::DecodedVideo& video) {
    if (video.frames.empty()) return false;
    const auto rgb = video.rgbAt(video.frames.size() - 1, 80, 75);
    return std::abs(rgb[0] - kYellow.r) <= 12 && std::abs(rgb[1] - kYellow.g) <= 12 && std::abs(rgb[2] - kYellow.b) <= 12;
  };

  // A change on the watched monitor after the client joined arrives as further frames (the change, then
  // heartbeats of the static screen): read for 1.5 s, and on until the last frame shows the change, which a busy
  // machine may be slower to send.
  screen.fill({320, 0, 160, 150}, kYellow);
  const auto readAtLeastUntil = std::chrono::steady_clock::now() + 1500ms;
  const auto giveUpAt = std::chrono::steady_clock::now() + 30s;
  std::size_t decodedFrames = 1;
  while (std::chrono::steady_clock::now() < giveUpAt) {
    if (std::chrono::steady_clock::now() >= readAtLeastUntil && frames.size() > decodedFrames) {
      decodedFrames = frames.size();
      const auto video = decodeAll();
      if (video && lastShowsYellow(*video)) break;
    }
    auto next = nextEnvelope(*client, 500ms);
    if (!next) continue;
    if (next->type == MediaEnvelopeType::videoConfiguration) {
      // Sent again ahead of a later keyframe; the stream's size does not change.
      const auto again = parseVideoConfigurationPayload(next->payload);
      ASSERT_TRUE(again);
      EXPECT_EQ(again->codedWidth, 320u);
      EXPECT_EQ(again->codedHeight, 480u);
      continue;
    }
    ASSERT_EQ(next->type, MediaEnvelopeType::videoFrame);
    auto frame = parseVideoFramePayload(next->payload);
    ASSERT_TRUE(frame);
    EXPECT_GT(frame->presentationTimeMicros, frames.back().presentationTimeMicros);
    ASSERT_FALSE(test::splitLengthPrefixed(frame->accessUnit).empty()) << "an access unit whose lengths do not add up";
    frames.push_back(std::move(*frame));
  }
  ASSERT_GE(frames.size(), 2u) << "no frame followed the drawing";

  const auto video = decodeAll();
  ASSERT_TRUE(video);
  EXPECT_EQ(video->errors, "");
  ASSERT_EQ(video->frames.size(), frames.size());
  const std::size_t last = video->frames.size() - 1;
  // Monitor coordinates: the right monitor starts at x = 320 of the screen.
  expectColour(*video, 0, 80, 75, kBlue);
  expectColour(*video, last, 80, 75, kYellow);
  for (const std::size_t f : {std::size_t{0}, last}) {
    expectColour(*video, f, 240, 100, kBlue);
    expectColour(*video, f, 200, 400, kGreen);
  }
}

TEST_F(MediaPipelineTest, ToneInTheNullSinkReachesAnAudioClientAfterTheConfiguration) {
  VELTRANO_REQUIRE_PULSE();
  VELTRANO_START_TWO_MONITOR_SCREEN(screen);
  startServicesAndCapture(screen.left().id, std::getenv("PULSE_SERVER"));
  ASSERT_TRUE(awaitOn(loop, onActor(capture, [](ScreenCaptureService& c) { return c.isCapturingSound(); })));
  auto client = connect(audioServer->listeningPort(), LocalTransportChannel::audio);

  test::TonePlayer tone;
  const auto configuration = nextEnvelope(*client);
  std::optional<AudioFormat> format;
  if (configuration) {
    EXPECT_EQ(configuration->type, MediaEnvelopeType::audioConfiguration);
    format = parseAudioConfigurationPayload(configuration->payload);
  }
  int loudest = 0;
  int frames = 0;
  std::uint64_t lastPts = 0;
  // The tone plays until the end: the wait only stops a test it never reaches.
  const auto readUntil = std::chrono::steady_clock::now() + 30s;
  while (format && loudest <= 3000 && std::chrono::steady_clock::now() < readUntil) {
    auto next = nextEnvelope(*client, 1s);
    if (!next) continue;
    ASSERT_EQ(next->type, MediaEnvelopeType::audioFrame) << "after " << frames << " frames";
    auto packet = parseAudioFramePayload(next->payload);
    ASSERT_TRUE(packet);
    EXPECT_EQ(packet->format, *format);
    EXPECT_EQ(packet->samples.size(), std::size_t{format->framesPerPacket} * format->channels * 2);
    EXPECT_GT(packet->presentationTimeMicros, lastPts);
    lastPts = packet->presentationTimeMicros;
    loudest = std::max(loudest, loudestSample(*packet));
    ++frames;
  }
  ASSERT_TRUE(format) << "no audio configuration came first";
  EXPECT_EQ(*format, (AudioFormat{48000, 2, 960}));
  EXPECT_GT(frames, 0);
  EXPECT_GT(loudest, 3000) << "the tone did not arrive in " << frames << " frames";
}

TEST_F(MediaPipelineTest, AFrozenXServerFailsTheStartByItsDeadlineAndALostOneEndsTheStream) {
  VELTRANO_START_TWO_MONITOR_SCREEN(screen);
  capture = ScreenCaptureService::create(metrics, nullptr, nullptr, nullptr, false, {screen.name(), {}});
  test::StopReports reports;
  awaitOn(loop, onActor(capture, [&](ScreenCaptureService& c) { c.setUnexpectedStopHandler(reports.handler()); }));
  screen.freeze();
  const auto frozenAt = std::chrono::steady_clock::now();
  const auto error = test::captureErrorOf(loop, capture->startCapture(screen.left().id), 15s);
  ASSERT_TRUE(error) << "started on a frozen X server";
  EXPECT_EQ(error->first, ScreenCaptureError::Kind::streamFailed);
  EXPECT_GE(std::chrono::steady_clock::now() - frozenAt, ScreenCaptureService::startTimeout);
  awaitOn(loop, capture->stopCapture());  // the frozen server holds nothing up
  screen.thaw();

  awaitOn(loop, capture->startCapture(screen.left().id));
  screen.kill();
  ASSERT_TRUE(reports.failures.waitForCount(1, 8s));
  EXPECT_EQ(reports.failures.values().at(0).displayID, screen.left().id);
  EXPECT_FALSE(awaitOn(loop, onActor(capture, [](ScreenCaptureService& c) { return c.isStreaming(); })));
  awaitOn(loop, capture->stopCapture());  // the lost server holds nothing up
  EXPECT_EQ(reports.failures.size(), 1u);
}

}  // namespace
}  // namespace veltrano
