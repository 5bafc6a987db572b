#include "platform/audio/system_audio_capture.hpp"

#include <cmath>
#include <thread>

#include <gtest/gtest.h>

#include "support/destroyed_from_own_handler.hpp"
#include "tone_player.hpp"
#include "support/pulse_test_env.hpp"
#include "support/recorded_values.hpp"

namespace veltrano::platform {
namespace {

using namespace std::chrono_literals;

using PacketCollector = veltrano::testing::Deliveries<AudioPacket>;

AudioCaptureSettings format(int rate, int channels, std::string server = {}) {
  AudioCaptureSettings settings;
  settings.sampleRate = rate;
  settings.channels = channels;
  settings.server = std::move(server);
  return settings;
}

int peak(const AudioPacket& packet) {
  int most = 0;
  for (auto s : packet.samples) most = std::max(most, std::abs(static_cast<int>(s)));
  return most;
}

class SystemAudioCaptureFormats : public ::testing::TestWithParam<std::pair<int, int>> {};

TEST_P(SystemAudioCaptureFormats, RecordsWhatIsPlayedInTwentyMillisecondPackets) {
  VELTRANO_REQUIRE_PULSE();
  const auto [rate, channels] = GetParam();
  PacketCollector collector;
  test::TonePlayer tone;
  auto capture = SystemAudioCapture::start(format(rate, channels), collector.values.recorder(),
                                           collector.stops.recorder());
  EXPECT_EQ(capture->framesPerPacket(), rate / 50);
  ASSERT_TRUE(collector.values.waitForCount(50));
  capture->stop();

  const auto packets = collector.values.values();
  int loudest = 0;
  for (std::size_t i = 0; i < packets.size(); ++i) {
    const auto& p = packets[i];
    ASSERT_EQ(p.sampleRate, rate);
    ASSERT_EQ(p.channels, channels);
    ASSERT_EQ(p.frames, rate / 50);
    ASSERT_EQ(p.samples.size(), static_cast<std::size_t>(rate / 50 * channels));
    if (i > 0) {
      ASSERT_GT(p.timestamp, packets[i - 1].timestamp) << "packet " << i;
    }
    loudest = std::max(loudest, peak(p));
  }
  // Times follow the samples: 20 ms apart on average (the server delivers in bursts).
  const auto span = std::chrono::duration<double, std::milli>(packets.back().timestamp - packets.front().timestamp);
  const double spacing = span.count() / static_cast<double>(packets.size() - 1);
  EXPECT_GT(spacing, 15.0);
  EXPECT_LT(spacing, 25.0);
  EXPECT_GT(loudest, 3000) << "the tone did not reach the recording";
  EXPECT_TRUE(collector.stops.values().empty());
}

INSTANTIATE_TEST_SUITE_P(RatesAndChannels, SystemAudioCaptureFormats,
                         ::testing::Values(std::pair{48000, 2}, std::pair{24000, 1}, std::pair{32000, 2}));

TEST(SystemAudioCapture, WithoutAServerStartFailsWithAClearReason) {
  PacketCollector collector;
  try {
    SystemAudioCapture::start(format(48000, 2, "unix:/nonexistent/veltrano-test-socket"), collector.values.recorder(),
                              collector.stops.recorder());
    ADD_FAILURE() << "started without a server";
  } catch (const AudioCaptureError& e) {
    EXPECT_EQ(std::string(e.what()).rfind("No sound server reachable: ", 0), 0u) << e.what();
  }
  EXPECT_TRUE(collector.stops.values().empty());
}

TEST(SystemAudioCapture, RefusesFormatsItCannotRecord) {
  for (auto [rate, channels] : {std::pair{4000, 2}, std::pair{48000, 0}, std::pair{48000, 3}}) {
    try {
      SystemAudioCapture::start(format(rate, channels), nullptr, nullptr);
      ADD_FAILURE() << rate << " Hz x" << channels << " accepted";
    } catch (const AudioCaptureError& e) {
      EXPECT_EQ(std::string(e.what()),
                "Unsupported sound format " + std::to_string(rate) + " Hz x" + std::to_string(channels));
    }
  }
}

TEST(SystemAudioCapture, ReportsALostServerOnceAndStillStops) {
  test::PrivatePulseServer server;
  VELTRANO_REQUIRE_SERVICE("pulseaudio", test::problemIfAny(server.start() ? "" : "cannot start a private pulseaudio"));
  PacketCollector collector;
  auto capture = SystemAudioCapture::start(format(48000, 2, server.address()),
                                           collector.values.recorder(), collector.stops.recorder());
  ASSERT_TRUE(collector.values.waitForCount(5));
  server.stop();
  ASSERT_TRUE(collector.stops.waitForCount(1));
  std::this_thread::sleep_for(300ms);  // no second report
  const auto stops = collector.stops.values();
  ASSERT_EQ(stops.size(), 1u);
  EXPECT_EQ(stops[0].rfind("Lost the connection to the sound server: ", 0), 0u) << stops[0];
  capture->stop();
  capture->stop();
}

TEST(SystemAudioCapture, StopSilencesAndIsSafeTwiceAndFromItsOwnHandler) {
  VELTRANO_REQUIRE_PULSE();
  PacketCollector collector;
  auto capture = SystemAudioCapture::start(format(48000, 2), collector.values.recorder(),
                                           collector.stops.recorder());
  ASSERT_TRUE(collector.values.waitForCount(2));
  capture->stop();
  const auto delivered = collector.values.values().size();
  std::this_thread::sleep_for(100ms);  // no packet after stop()
  EXPECT_EQ(collector.values.values().size(), delivered);
  capture->stop();
  capture.reset();

  // From its own handler: stopped (silent at once; the owner's destructor finishes the work) or destroyed.
  const auto start = [](auto handler) { return SystemAudioCapture::start(format(48000, 2), handler, nullptr); };
  test::expectStoppedFromOwnHandler<SystemAudioCapture>(start, [](SystemAudioCapture& self) { self.stop(); },
                                                        [](SystemAudioCapture&) {});
  test::expectDestroyedFromOwnHandler<SystemAudioCapture>(start);
}

}  // namespace
}  // namespace veltrano::platform
