// The capture service on a private two-monitor Xvfb with the real encoder: displays, frames that decode to what
// was drawn, viewers, pacing, heartbeat, media profiles, stop, and streams that end by themselves.
#include "media/screen_capture_service.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <thread>

#include "capture_test_support.hpp"
#include "core/log_capture.hpp"
#include "core/metrics_store.hpp"
#include "media/actor_access.hpp"
#include "platform/capture/two_monitor_screen.hpp"
#include "support/eventually.hpp"

namespace veltrano {
namespace {

using namespace std::chrono_literals;
using test::awaitOn;
using test::EncoderServiceTest;
using testing::eventually;
using test::RecordingVideoSink;
using test::Rgb;
using test::TwoMonitorScreen;

constexpr Rgb kRed{200, 30, 40};
constexpr Rgb kBlue{20, 40, 220};
constexpr Rgb kGreen{10, 210, 60};

// What the unexpected-stop handler saw.
struct StopReports {
  std::mutex mutex;
  std::vector<ScreenCaptureFailure> failures;
  std::atomic<int> calls{0};

  ScreenCaptureService::UnexpectedStopHandler handler() {
    return [this](ScreenCaptureFailure failure) -> asio::awaitable<void> {
      {
        std::lock_guard lock(mutex);
        failures.push_back(failure);
      }
      ++calls;
      co_return;
    };
  }
};

std::size_t countOf(const std::vector<std::string>& lines, const std::string& line) {
  return static_cast<std::size_t>(std::count(lines.begin(), lines.end(), line));
}

class ScreenCaptureServiceTest : public EncoderServiceTest {
 protected:
  void TearDown() override {
    if (capture) awaitOn(loop, capture->stopCapture());
    EncoderServiceTest::TearDown();
  }

  void makeCapture(bool capturesAudio = false, std::shared_ptr<AudioPacketSink> audio = nullptr,
                   std::string soundServer = {}) {
    capture = ScreenCaptureService::create(metrics, encoder, sink, std::move(audio), capturesAudio,
                                           {screen.name(), std::move(soundServer)});
  }
  template <class F>
  auto onCapture(F fn) {
    return awaitOn(loop, onActor(capture, std::move(fn)));
  }

  TwoMonitorScreen screen;
  std::shared_ptr<ScreenCaptureService> capture;
};

TEST_F(ScreenCaptureServiceTest, ListsBothMonitorsWithTheirSizes) {
  VELTRANO_START_TWO_MONITOR_SCREEN(screen);
  makeCapture();
  const auto displays = awaitOn(loop, capture->availableDisplays());
  ASSERT_EQ(displays.size(), 2u);
  const DisplayInfo left{screen.left().id, "VL-LEFT", 320, 480, 0};
  const DisplayInfo right{screen.right().id, "VL-RIGHT", 320, 480, 0};
  EXPECT_NE(std::find(displays.begin(), displays.end(), left), displays.end());
  EXPECT_NE(std::find(displays.begin(), displays.end(), right), displays.end());

  auto unreachable = ScreenCaptureService::create(metrics, encoder, sink, nullptr, false, {":65000", {}});
  try {
    awaitOn(loop, unreachable->availableDisplays());
    ADD_FAILURE() << "listed displays without an X server";
  } catch (const ScreenCaptureError& e) {
    EXPECT_EQ(e.kind(), ScreenCaptureError::Kind::displaysUnavailable);
  }
}

TEST_F(ScreenCaptureServiceTest, CapturedFramesDecodeToTheMonitorsColoursAndStopLogsOnce) {
  VELTRANO_REQUIRE_FFMPEG();
  VELTRANO_START_TWO_MONITOR_SCREEN(screen);
  screen.fill(screen.left().bounds, kRed);
  screen.fill(screen.right().bounds, kBlue);
  screen.fill({320, 300, 320, 180}, kGreen);  // lower part of the right monitor
  ScopedLogCapture logs;
  makeCapture();
  awaitOn(loop, capture->startCapture(screen.right().id));

  EXPECT_EQ(onCapture([](ScreenCaptureService& c) { return c.currentDisplayID; }), screen.right().id);
  EXPECT_EQ(onCapture([](ScreenCaptureService& c) { return c.currentWidth; }), 320);
  EXPECT_EQ(onCapture([](ScreenCaptureService& c) { return c.currentHeight; }), 480);
  EXPECT_EQ(onCapture([](ScreenCaptureService& c) { return c.currentDisplayFrame; }), (DisplayFrame{320, 0, 320, 480}));
  EXPECT_EQ(onCapture([](ScreenCaptureService& c) { return c.desiredEncodeFps; }), 45);

  ASSERT_TRUE(sink->waitFor(2));  // the first grab, then at least a heartbeat
  const auto frames = sink->frames();
  ASSERT_TRUE(frames[0].frame.keyframe);
  ASSERT_TRUE(frames[0].frame.parameterSets);
  EXPECT_EQ(frames[0].frame.parameterSets->codedWidth, 320u);
  EXPECT_EQ(frames[0].frame.parameterSets->codedHeight, 480u);
  const auto video = test::decodeFrames(frames, 320, 480);
  ASSERT_TRUE(video);
  EXPECT_EQ(video->errors, "");
  ASSERT_GE(video->frames.size(), 2u);
  for (std::size_t f = 0; f < 2; ++f) {
    const auto top = video->rgbAt(f, 200, 100);
    const auto bottom = video->rgbAt(f, 200, 400);
    EXPECT_NEAR(top[0], kBlue.r, 12);
    EXPECT_NEAR(top[1], kBlue.g, 12);
    EXPECT_NEAR(top[2], kBlue.b, 12);
    EXPECT_NEAR(bottom[0], kGreen.r, 12);
    EXPECT_NEAR(bottom[1], kGreen.g, 12);
    EXPECT_NEAR(bottom[2], kGreen.b, 12);
  }
  ASSERT_TRUE(loop.runUntil([&] { return metrics->capturedFrames() >= 1 && metrics->encodedFrames() >= 2; }, 2s));
  EXPECT_NE(metrics->lastFrameDescription(), MetricsStore::placeholder);
  EXPECT_EQ(countOf(logs.messages(), "Captura iniciada display=" + std::to_string(screen.right().id) + " 320x480"), 1u);

  awaitOn(loop, capture->stopCapture());
  awaitOn(loop, capture->stopCapture());  // nothing runs: no second line
  EXPECT_EQ(countOf(logs.messages(), "ScreenCaptureKit stopped"), 1u);
  EXPECT_FALSE(onCapture([](ScreenCaptureService& c) { return c.isStreaming(); }));
  EXPECT_EQ(onCapture([](ScreenCaptureService& c) { return c.currentDisplayID; }), 0u);
  EXPECT_EQ(onCapture([](ScreenCaptureService& c) { return c.currentWidth + c.currentHeight; }), 0);
  EXPECT_EQ(onCapture([](ScreenCaptureService& c) { return c.currentDisplayFrame; }), DisplayFrame{});
  ASSERT_TRUE(loop.runUntil(
      [&] {
        const auto& events = metrics->events().get();
        return std::any_of(events.begin(), events.end(), [](const MetricsStore::LogEvent& e) {
          return e.tag == "CAPTURE" && e.message == "ScreenCaptureKit stopped";
        });
      },
      2s));
  // Nothing more arrives once stopped.
  const auto count = sink->count();
  std::this_thread::sleep_for(1200ms);
  EXPECT_EQ(sink->count(), count);
}

TEST_F(ScreenCaptureServiceTest, StartFailsClearly) {
  VELTRANO_START_TWO_MONITOR_SCREEN(screen);
  makeCapture();
  try {
    awaitOn(loop, capture->startCapture(1u));  // an atom, but no monitor's name
    ADD_FAILURE() << "started an unknown display";
  } catch (const ScreenCaptureError& e) {
    EXPECT_EQ(e.kind(), ScreenCaptureError::Kind::displayNotFound);
    EXPECT_EQ(std::string(e.what()), "Display 1 was not found.");
  }
  EXPECT_FALSE(onCapture([](ScreenCaptureService& c) { return c.isStreaming(); }));
  // No identifier: the main display (no primary here, so the one at (0,0)).
  awaitOn(loop, capture->startCapture(std::nullopt));
  EXPECT_EQ(onCapture([](ScreenCaptureService& c) { return c.currentDisplayID; }), screen.left().id);
}

TEST_F(ScreenCaptureServiceTest, NothingIsEncodedWithoutViewers) {
  VELTRANO_START_TWO_MONITOR_SCREEN(screen);
  sink->setViewers(false);
  makeCapture();
  awaitOn(loop, capture->startCapture(screen.left().id));
  for (int i = 0; i < 20; ++i) {
    screen.fill({10, 10, 100, 100}, i % 2 ? kRed : kBlue);
    std::this_thread::sleep_for(50ms);
  }
  std::this_thread::sleep_for(1s);  // more than a heartbeat
  EXPECT_EQ(sink->count(), 0u);
  ASSERT_TRUE(loop.runUntil([&] { return metrics->capturedFrames() >= 10; }, 2s));
  EXPECT_EQ(metrics->encodedFrames(), 0);

  // A viewer arrives on a static screen: the last frame is sent within a heartbeat, as a keyframe.
  const auto joined = std::chrono::steady_clock::now();
  sink->setViewers(true);
  ASSERT_TRUE(sink->waitFor(1, 2s));
  EXPECT_LE(sink->frames()[0].at - joined, 1100ms);
  EXPECT_TRUE(sink->frames()[0].frame.keyframe);
}

TEST_F(ScreenCaptureServiceTest, ChangingScreenIsPacedToTheDesiredRate) {
  VELTRANO_START_TWO_MONITOR_SCREEN(screen);
  makeCapture();
  onCapture([](ScreenCaptureService& c) {
    c.desiredEncodeFps = 10;
    c.nextEncodePTSSeconds.reset();
  });
  awaitOn(loop, capture->startCapture(screen.left().id));
  ASSERT_TRUE(sink->waitFor(1));
  loop.runUntil([] { return false; }, 100ms);
  const auto capturedBefore = metrics->capturedFrames();
  sink->clear();
  // About 100 changes a second for 2 s; the grabs follow the desired rate too, not the changes.
  const auto end = std::chrono::steady_clock::now() + 2s;
  for (int i = 0; std::chrono::steady_clock::now() < end; ++i) {
    screen.fill({10, 10, 100, 100}, i % 2 ? kRed : kBlue);
    std::this_thread::sleep_for(10ms);
  }
  const auto encoded = sink->count();
  EXPECT_GE(encoded, 15u);
  EXPECT_LE(encoded, 23u);
  loop.runUntil([] { return false; }, 200ms);
  const auto captured = metrics->capturedFrames() - capturedBefore;
  EXPECT_GE(captured, 15);
  EXPECT_LE(captured, 25);
}

TEST_F(ScreenCaptureServiceTest, StaticScreenStillGetsAFrameEveryHeartbeat) {
  VELTRANO_START_TWO_MONITOR_SCREEN(screen);
  screen.fill({0, 0, 640, 480}, kGreen);
  makeCapture();
  awaitOn(loop, capture->startCapture(screen.right().id));
  ASSERT_TRUE(sink->waitFor(5, 10s));
  const auto frames = sink->frames();
  ASSERT_GE(frames.size(), 5u);  // 0.85 s apart at the most
  for (std::size_t i = 1; i < frames.size(); ++i) {
    EXPECT_LE(frames[i].at - frames[i - 1].at, 1050ms) << "gap before frame " << i;
    EXPECT_GT(frames[i].frame.presentationTimeMicros, frames[i - 1].frame.presentationTimeMicros);
  }
  EXPECT_LE(frames.size(), 9u);
}

TEST_F(ScreenCaptureServiceTest, MediaProfileRestartsOnlyOnAChange) {
  VELTRANO_START_TWO_MONITOR_SCREEN(screen);
  ScopedLogCapture logs;
  makeCapture();
  awaitOn(loop, capture->startCapture(screen.left().id));
  ASSERT_TRUE(sink->waitFor(1));
  const auto generation = onCapture([](ScreenCaptureService& c) { return c.streamGeneration(); });

  // The values it already has: nothing happens.
  awaitOn(loop, capture->applyMediaProfile(0, 0, 48000, 2));
  EXPECT_EQ(onCapture([](ScreenCaptureService& c) { return c.streamGeneration(); }), generation);
  EXPECT_EQ(countOf(logs.messages(), "ScreenCaptureKit stopped"), 0u);

  // A size cap restarts the stream at the capped size; a service without sound keeps its audio format.
  sink->clear();
  awaitOn(loop, capture->applyMediaProfile(160, 1000, 24000, 1));
  EXPECT_GT(onCapture([](ScreenCaptureService& c) { return c.streamGeneration(); }), generation);
  EXPECT_TRUE(onCapture([](ScreenCaptureService& c) { return c.isStreaming(); }));
  EXPECT_EQ(onCapture([](ScreenCaptureService& c) { return c.currentWidth; }), 160);
  EXPECT_EQ(onCapture([](ScreenCaptureService& c) { return c.currentHeight; }), 240);
  EXPECT_EQ(onCapture([](ScreenCaptureService& c) { return c.maximumOutputWidth; }), 160);
  EXPECT_EQ(onCapture([](ScreenCaptureService& c) { return c.requestedAudioSampleRate; }), 48000);
  EXPECT_EQ(onCapture([](ScreenCaptureService& c) { return c.requestedAudioChannelCount; }), 2);
  const auto messages = logs.messages();
  EXPECT_EQ(countOf(messages, "ScreenCaptureKit stopped"), 1u);
  EXPECT_EQ(countOf(messages, "VideoToolbox encoder stopped"), 1u);
  ASSERT_TRUE(sink->waitFor(1));
  const auto first = sink->frames()[0].frame;
  EXPECT_TRUE(first.keyframe);
  ASSERT_TRUE(first.parameterSets);
  EXPECT_EQ(first.parameterSets->codedWidth, 160u);
  EXPECT_EQ(first.parameterSets->codedHeight, 240u);

  // Negative maxima mean no cap.
  awaitOn(loop, capture->applyMediaProfile(-5, -1, 24000, 1));
  EXPECT_EQ(onCapture([](ScreenCaptureService& c) { return c.maximumOutputWidth + c.maximumOutputHeight; }), 0);
  EXPECT_EQ(onCapture([](ScreenCaptureService& c) { return c.currentWidth; }), 320);
  EXPECT_EQ(countOf(logs.messages(), "ScreenCaptureKit stopped"), 2u);

  // Not capturing: the values are only stored. The service that captures sound clamps its audio format.
  awaitOn(loop, capture->stopCapture());
  auto withSound = ScreenCaptureService::create(metrics, nullptr, nullptr, nullptr, true, {screen.name(), {}});
  awaitOn(loop, withSound->applyMediaProfile(100, 50, 1000, 5));
  EXPECT_EQ(awaitOn(loop, onActor(withSound,
                                  [](ScreenCaptureService& c) {
                                    return std::vector<std::int64_t>{c.maximumOutputWidth, c.maximumOutputHeight,
                                                                     c.requestedAudioSampleRate,
                                                                     c.requestedAudioChannelCount};
                                  })),
            (std::vector<std::int64_t>{100, 50, 8000, 2}));
  awaitOn(loop, withSound->applyMediaProfile(0, 0, 32000, 0));
  EXPECT_EQ(awaitOn(loop, onActor(withSound, [](ScreenCaptureService& c) { return c.requestedAudioChannelCount; })),
            1);
  EXPECT_FALSE(awaitOn(loop, onActor(withSound, [](ScreenCaptureService& c) { return c.isStreaming(); })));
  EXPECT_EQ(countOf(logs.messages(), "ScreenCaptureKit stopped"), 3u);  // only the one stopCapture above
}

TEST_F(ScreenCaptureServiceTest, RemovedDisplayEndsInOneHandlerCall) {
  VELTRANO_START_TWO_MONITOR_SCREEN(screen);
  ScopedLogCapture logs;
  StopReports reports;
  makeCapture();
  onCapture([&](ScreenCaptureService& c) { c.unexpectedStopHandler = reports.handler(); });
  auto otherEncoder = VideoEncoderService::create(metrics);
  StopReports otherReports;
  auto other = ScreenCaptureService::create(metrics, otherEncoder, nullptr, nullptr, false, {screen.name(), {}});
  awaitOn(loop, onActor(other, [&](ScreenCaptureService& c) { c.unexpectedStopHandler = otherReports.handler(); }));
  awaitOn(loop, capture->startCapture(screen.right().id));
  awaitOn(loop, other->startCapture(screen.left().id));
  ASSERT_TRUE(sink->waitFor(1));

  ASSERT_EQ(screen.runXrandr("--delmonitor VL-RIGHT"), 0);
  ASSERT_TRUE(eventually([&] { return reports.calls.load() > 0; }, 5s));
  std::this_thread::sleep_for(1500ms);
  EXPECT_EQ(reports.calls.load(), 1);
  {
    std::lock_guard lock(reports.mutex);
    ASSERT_EQ(reports.failures.size(), 1u);
    EXPECT_EQ(reports.failures[0].displayID, screen.right().id);
    EXPECT_EQ(reports.failures[0].message,
              "Display " + std::to_string(screen.right().id) + " is no longer available");
    EXPECT_EQ(std::string(reports.failures[0].what()), reports.failures[0].message);
  }
  EXPECT_FALSE(onCapture([](ScreenCaptureService& c) { return c.isStreaming(); }));
  EXPECT_EQ(onCapture([](ScreenCaptureService& c) { return c.currentDisplayID; }), 0u);
  // The other display goes on.
  EXPECT_EQ(otherReports.calls.load(), 0);
  EXPECT_TRUE(awaitOn(loop, onActor(other, [](ScreenCaptureService& c) { return c.isStreaming(); })));
  // Stopping afterwards finds no stream.
  awaitOn(loop, capture->stopCapture());
  EXPECT_EQ(countOf(logs.messages(), "ScreenCaptureKit stopped"), 0u);
  awaitOn(loop, other->stopCapture());
  awaitOn(loop, otherEncoder->stopSession());
}

TEST_F(ScreenCaptureServiceTest, AStalledStreamEndsInOneHandlerCallButAQuietScreenDoesNot) {
  VELTRANO_START_TWO_MONITOR_SCREEN(screen);
  screen.fill({0, 0, 640, 480}, kGreen);
  StopReports reports;
  makeCapture();
  onCapture([&](ScreenCaptureService& c) { c.unexpectedStopHandler = reports.handler(); });
  awaitOn(loop, capture->startCapture(screen.left().id));
  ASSERT_TRUE(sink->waitFor(1));
  // Nothing changes on screen for longer than the stall limit: the watchdog's requests keep the stream alive.
  std::this_thread::sleep_for(ScreenCaptureService::livenessTimeout + 1500ms);
  EXPECT_EQ(reports.calls.load(), 0);
  EXPECT_TRUE(onCapture([](ScreenCaptureService& c) { return c.isStreaming(); }));

  // A server that stops answering (but keeps the connection) stalls the grab.
  screen.freeze();
  const auto frozenAt = std::chrono::steady_clock::now();
  const bool reported = eventually([&] { return reports.calls.load() > 0; }, 10s);
  const auto reportedAfter = std::chrono::steady_clock::now() - frozenAt;
  screen.thaw();
  ASSERT_TRUE(reported);
  EXPECT_GE(reportedAfter, ScreenCaptureService::livenessTimeout - 1s);
  std::this_thread::sleep_for(1500ms);
  EXPECT_EQ(reports.calls.load(), 1);
  {
    std::lock_guard lock(reports.mutex);
    EXPECT_EQ(reports.failures.at(0).displayID, screen.left().id);
    EXPECT_NE(reports.failures.at(0).message.find("stalled"), std::string::npos) << reports.failures.at(0).message;
  }
  EXPECT_FALSE(onCapture([](ScreenCaptureService& c) { return c.isStreaming(); }));
  awaitOn(loop, capture->stopCapture(), 3s);
  EXPECT_EQ(reports.calls.load(), 1);
}

TEST_F(ScreenCaptureServiceTest, LostXServerEndsInOneHandlerCallWithoutHanging) {
  VELTRANO_START_TWO_MONITOR_SCREEN(screen);
  StopReports reports;
  makeCapture();
  onCapture([&](ScreenCaptureService& c) { c.unexpectedStopHandler = reports.handler(); });
  awaitOn(loop, capture->startCapture(screen.left().id));
  ASSERT_TRUE(sink->waitFor(1));
  screen.kill();
  ASSERT_TRUE(eventually([&] { return reports.calls.load() > 0; }, 8s));
  std::this_thread::sleep_for(1500ms);
  EXPECT_EQ(reports.calls.load(), 1);
  {
    std::lock_guard lock(reports.mutex);
    EXPECT_EQ(reports.failures.at(0).displayID, screen.left().id);
  }
  EXPECT_FALSE(onCapture([](ScreenCaptureService& c) { return c.isStreaming(); }));
  // A stop afterwards comes back promptly. (No new start here: a parallel test's Xvfb may take over the freed
  // display number.)
  awaitOn(loop, capture->stopCapture(), 3s);
  EXPECT_EQ(reports.calls.load(), 1);
}

}  // namespace
}  // namespace veltrano
