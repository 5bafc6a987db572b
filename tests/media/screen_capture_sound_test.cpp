// The sound of the service that captures it, from a private PulseAudio server into an audio server stand-in.
#include <gtest/gtest.h>

#include <thread>

#include "capture_test_support.hpp"
#include "core/metrics_store.hpp"
#include "media/actor_access.hpp"
#include "media/screen_capture_service.hpp"
#include "platform/capture/two_monitor_screen.hpp"
#include "support/pulse_test_env.hpp"
#include "tone.hpp"

namespace veltrano {
namespace {

using namespace std::chrono_literals;
using test::awaitOn;
using test::loudestSample;
using test::playTone;
using test::RecordingAudioSink;

TEST(ScreenCaptureSound, ConfigurationComesFirstThenPacketsAndAProfileChangeSendsANewOne) {
  test::TwoMonitorScreen screen;
  VELTRANO_START_TWO_MONITOR_SCREEN(screen);
  test::PrivatePulseServer pulse;
  if (!pulse.start()) {
    if (test::servicesRequired()) GTEST_FAIL() << "pulseaudio is required in CI";
    GTEST_SKIP() << "cannot start pulseaudio";
  }
  MainLoopForTests loop;
  auto metrics = std::make_shared<MetricsStore>();
  auto audio = std::make_shared<RecordingAudioSink>();
  auto capture = ScreenCaptureService::create(metrics, nullptr, nullptr, audio, true, {screen.name(), pulse.address()});
  awaitOn(loop, capture->startCapture(screen.left().id));
  EXPECT_TRUE(awaitOn(loop, onActor(capture, [](ScreenCaptureService& c) { return c.isCapturingSound(); })));
  std::thread tone([&] { playTone(pulse.address(), 1500ms); });
  const bool toneArrived = audio->waitForMatch(
      [](const RecordingAudioSink::Event& e) { return !e.isConfiguration && loudestSample(e.packet) > 3000; });
  tone.join();
  ASSERT_TRUE(toneArrived) << "the tone did not arrive";

  auto events = audio->events();
  ASSERT_TRUE(events[0].isConfiguration);
  EXPECT_EQ(events[0].format, (AudioFormat{48000, 2, 960}));
  for (std::size_t i = 1; i < events.size(); ++i) {
    ASSERT_FALSE(events[i].isConfiguration) << i;
    EXPECT_EQ(events[i].packet.format, events[0].format);
    EXPECT_EQ(events[i].packet.samples.size(), 960u * 2 * 2);
    if (i > 1) {
      EXPECT_GT(events[i].packet.presentationTimeMicros, events[i - 1].packet.presentationTimeMicros);
    }
  }

  // The relay profile: 24 kHz mono after the restart, announced before its packets.
  audio->clear();
  awaitOn(loop, capture->applyMediaProfile(1920, 1080, 24000, 1));
  ASSERT_TRUE(audio->waitFor(5, 5s));
  events = audio->events();
  const auto configuration = std::find_if(events.begin(), events.end(), [](const auto& e) {
    return e.isConfiguration && e.format == AudioFormat{24000, 1, 480};
  });
  ASSERT_NE(configuration, events.end());
  for (auto it = configuration + 1; it != events.end(); ++it) {
    EXPECT_FALSE(it->isConfiguration);
    EXPECT_EQ(it->packet.samples.size(), 480u * 2);
  }
  awaitOn(loop, capture->stopCapture());
  EXPECT_FALSE(awaitOn(loop, onActor(capture, [](ScreenCaptureService& c) { return c.isCapturingSound(); })));
}

TEST(ScreenCaptureSound, NoSoundServerLeavesThePictureRunning) {
  test::TwoMonitorScreen screen;
  VELTRANO_START_TWO_MONITOR_SCREEN(screen);
  MainLoopForTests loop;
  auto metrics = std::make_shared<MetricsStore>();
  auto audio = std::make_shared<RecordingAudioSink>();
  auto capture = ScreenCaptureService::create(metrics, nullptr, nullptr, audio, true,
                                              {screen.name(), "unix:/nonexistent/veltrano-no-pulse"});
  awaitOn(loop, capture->startCapture(screen.left().id));
  EXPECT_TRUE(awaitOn(loop, onActor(capture, [](ScreenCaptureService& c) { return c.isStreaming(); })));
  EXPECT_FALSE(awaitOn(loop, onActor(capture, [](ScreenCaptureService& c) { return c.isCapturingSound(); })));
  ASSERT_TRUE(loop.runUntil(
      [&] {
        const auto& events = metrics->events().get();
        return std::any_of(events.begin(), events.end(), [](const MetricsStore::LogEvent& e) {
          return e.tag == "ERROR" && e.message.rfind("Audio capture failed: ", 0) == 0;
        });
      },
      2s));
  EXPECT_TRUE(audio->events().empty());
  awaitOn(loop, capture->stopCapture());
}

}  // namespace
}  // namespace veltrano
