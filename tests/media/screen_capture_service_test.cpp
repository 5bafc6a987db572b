// The capture service on fake displays, streams and sound, on virtual time, with the real encoder: starts and how
// they fail, pacing, viewers, heartbeat, watchdog, streams that end by themselves, media profiles and sound.
#include "media/screen_capture_service.hpp"

#include <gtest/gtest.h>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/use_future.hpp>

#include "capture_test_support.hpp"
#include "core/log_capture.hpp"
#include "fake_capture_sources.hpp"
#include "support/eventually.hpp"

namespace veltrano {
namespace {

using namespace std::chrono_literals;
using test::awaitOn;
using test::FakeCaptureSources;
using testing::eventually;
constexpr auto kLeft = FakeCaptureSources::leftID;
constexpr auto kRight = FakeCaptureSources::rightID;
using Kind = ScreenCaptureError::Kind;

std::int64_t microsOf(Clock::TimePoint at) {
  return std::chrono::duration_cast<std::chrono::microseconds>(at.time_since_epoch()).count();
}

class CaptureOnFakesTest : public test::EncoderServiceTest {
 protected:
  void TearDown() override {
    if (capture) awaitOn(loop, capture->stopCapture());
    EncoderServiceTest::TearDown();
  }

  template <class F>
  auto onCapture(F fn) {
    return awaitOn(loop, onActor(capture, std::move(fn)));
  }
  // What the host reads of the service.
  struct State {
    bool streaming, sound;
    std::uint32_t display;
    std::int64_t width, height;
    DisplayFrame frame;
    std::uint64_t generation;
  };
  State state() {
    return onCapture([](ScreenCaptureService& c) {
      return State{c.isStreaming(),  c.isCapturingSound(),  c.currentDisplayID(),   c.currentWidth(),
                   c.currentHeight(), c.currentDisplayFrame(), c.streamGeneration()};
    });
  }
  void makeCapture(bool capturesAudio = false) {
    capture = ScreenCaptureService::create(metrics, encoder, sink, audio, capturesAudio, {{}, {}, sources, &clock});
    onCapture([this](ScreenCaptureService& c) { c.setUnexpectedStopHandler(reports.handler()); });
  }
  std::shared_ptr<test::FakeVideoSource> video() { return sources->video(); }
  // Delivers a frame every `interval` (stamped now) and moves virtual time on, for `count` frames.
  void deliverFrames(int count, Clock::Duration interval) {
    for (int i = 0; i < count; ++i) {
      video()->deliverFrame(clock.now());
      clock.advance(interval);
    }
  }
  // Waits for the heartbeat's next resend, up to a heartbeat of virtual time from now, and returns how many frames
  // came out before it (the encoder keeps the order, so all the earlier ones have).
  std::size_t framesBeforeNextHeartbeat() {
    const auto before = microsOf(clock.now());
    clock.advance(CaptureSchedule::heartbeatInterval);
    const auto isResend = [before](const test::ReceivedFrame& f) {
      return static_cast<std::int64_t>(f.frame.presentationTimeMicros) > before;
    };
    EXPECT_TRUE(sink->waitForMatch(isResend));
    const auto frames = sink->frames();
    return static_cast<std::size_t>(std::find_if(frames.begin(), frames.end(), isResend) - frames.begin());
  }
  // Lets the service run what a step of virtual time queued, and what that queued (a frame a probe asked for).
  void settle() {
    if (!capture) return;
    for (int i = 0; i < 2; ++i) onCapture([](ScreenCaptureService&) {});
  }

  VirtualClock clock{[this] { settle(); }};
  std::shared_ptr<FakeCaptureSources> sources = std::make_shared<FakeCaptureSources>(clock);
  std::shared_ptr<test::RecordingAudioSink> audio = std::make_shared<test::RecordingAudioSink>();
  test::StopReports reports;
  std::shared_ptr<ScreenCaptureService> capture;
};

TEST_F(CaptureOnFakesTest, ListsTheDisplaysAndAFailedStartSaysWhyAndLeavesNothingRunning) {
  struct Case {
    const char* name;
    std::function<void(FakeCaptureSources&)> setUp;
    std::optional<std::uint32_t> display;
    Kind kind;
    std::string message;  // a part of it
  };
  const std::vector<Case> cases = {
      {"unknown display", [](auto&) {}, 1u, Kind::displayNotFound, "Display 1 was not found."},
      {"no display", [](auto& s) { s.monitors->clear(); }, std::nullopt, Kind::noDisplay, ""},
      {"no X server", [](auto& s) { s.monitors.reset(); }, kLeft, Kind::streamFailed, "Cannot connect to the X server"},
      {"stream refused", [](auto& s) { s.videoStartError = "Screen grab failed: BadMatch"; }, kLeft,
       Kind::streamFailed, "Screen grab failed: BadMatch"},
      {"stream ended while starting", [](auto& s) { s.streamFailsWhileStarting = "Display 101 changed"; }, kLeft,
       Kind::streamFailed, "Display 101 changed"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    sources = std::make_shared<FakeCaptureSources>(clock);
    c.setUp(*sources);
    makeCapture();
    const auto error = test::captureErrorOf(loop, capture->startCapture(c.display));
    ASSERT_TRUE(error);
    EXPECT_EQ(error->first, c.kind);
    EXPECT_NE(error->second.find(c.message), std::string::npos) << error->second;
    EXPECT_FALSE(state().streaming);
    EXPECT_EQ(state().display, 0u);
    if (auto abandoned = video()) {
      EXPECT_TRUE(eventually([&] { return abandoned->stopped.load(); }));
    }
  }
  // No identifier: the main display (no primary here, so the one at (0,0)).
  sources = std::make_shared<FakeCaptureSources>(clock);
  makeCapture();
  EXPECT_EQ(awaitOn(loop, capture->availableDisplays()),
            (std::vector<DisplayInfo>{{kLeft, "VL-LEFT", 96, 64, 0}, {kRight, "VL-RIGHT", 64, 48, 0}}));
  awaitOn(loop, capture->startCapture(std::nullopt));
  EXPECT_EQ(state().display, kLeft);
  sources->monitors.reset();
  EXPECT_EQ(test::captureErrorOf(loop, capture->availableDisplays())->first, Kind::displaysUnavailable);
}

TEST_F(CaptureOnFakesTest, AStartThatHangsFailsByItsDeadlineAndAStopStillReturns) {
  for (const auto hang : {FakeCaptureSources::Hang::listing, FakeCaptureSources::Hang::videoStart}) {
    SCOPED_TRACE(static_cast<int>(hang));
    sources = std::make_shared<FakeCaptureSources>(clock);
    makeCapture();
    sources->hang(hang);
    auto starting = asio::co_spawn(sharedIo().executor(), capture->startCapture(kLeft), asio::use_future);
    ASSERT_TRUE(eventually([&] { return sources->hanging() == 1; }));
    clock.advance(ScreenCaptureService::startTimeout - 1ms);
    EXPECT_EQ(starting.wait_for(0s), std::future_status::timeout);
    clock.advance(1ms);
    ASSERT_TRUE(loop.runUntil([&] { return starting.wait_for(0s) == std::future_status::ready; }, 10s));
    EXPECT_THROW(starting.get(), ScreenCaptureError);
    awaitOn(loop, capture->stopCapture(), 5s);  // the operation lock is free again
    EXPECT_FALSE(state().streaming);
    // The X server answers after all: what it started late is stopped.
    sources->release();
    if (hang == FakeCaptureSources::Hang::videoStart) {
      ASSERT_TRUE(eventually([&] { return video() && video()->stopped.load(); }));
    }
  }
}

TEST_F(CaptureOnFakesTest, StartShowsTheDisplayAndAStopEndsItOnce) {
  ScopedLogCapture logs;
  makeCapture();
  awaitOn(loop, capture->startCapture(kRight));
  const auto started = state();
  EXPECT_EQ(started.display, kRight);
  EXPECT_EQ(started.width * 1000 + started.height, 64'048);
  EXPECT_EQ(started.frame, (DisplayFrame{96, 0, 64, 48}));
  const auto settings = sources->videoStarts.values().at(0);
  EXPECT_EQ(settings.displayID, kRight);
  EXPECT_EQ(settings.framesPerSecond, ScreenCaptureService::defaultEncodeFps);
  EXPECT_TRUE(settings.showsCursor);

  deliverFrames(10, 25ms);
  ASSERT_TRUE(sink->waitFor(1));
  const auto first = sink->frames()[0].frame;
  EXPECT_TRUE(first.keyframe);
  ASSERT_TRUE(first.parameterSets);
  EXPECT_EQ(first.parameterSets->codedWidth, 64u);
  // The counters reach the main thread in batches, and exactly.
  ASSERT_TRUE(loop.runUntil([&] { return metrics->capturedFrames() == 10 && metrics->encodedFrames() >= 1; }, 5s));
  EXPECT_EQ(metrics->lastFrameDescription(), "64x48 I420 display=" + std::to_string(kRight));
  EXPECT_EQ(test::countOf(logs.messages(), "Captura iniciada display=" + std::to_string(kRight) + " 64x48"), 1u);

  awaitOn(loop, capture->stopCapture());
  awaitOn(loop, capture->stopCapture());  // nothing runs: no second line
  EXPECT_EQ(test::countOf(logs.messages(), "ScreenCaptureKit stopped"), 1u);
  EXPECT_TRUE(video()->stopped);
  const auto stopped = state();
  EXPECT_FALSE(stopped.streaming);
  EXPECT_EQ(stopped.display + stopped.width + stopped.height, 0);
  EXPECT_EQ(stopped.frame, DisplayFrame{});
  EXPECT_EQ(clock.sleeperCount(), 0u);  // no heartbeat left
}

TEST_F(CaptureOnFakesTest, FramesArePacedToTheDesiredRateWhichTheGrabRateFollows) {
  makeCapture();
  onCapture([](ScreenCaptureService& c) { c.setDesiredEncodeFps(10); });
  awaitOn(loop, capture->startCapture(kLeft));
  EXPECT_EQ(video()->framesPerSecond(), 10);
  // 50 changes a second for 2 s; each encode comes out before the next (the encoder drops what waits behind more).
  for (std::size_t encoded = 1; encoded <= 20; ++encoded) {
    deliverFrames(5, 20ms);
    ASSERT_TRUE(sink->waitFor(encoded));
  }
  EXPECT_EQ(framesBeforeNextHeartbeat(), 20u);
  onCapture([](ScreenCaptureService& c) { c.setDesiredEncodeFps(90); });
  deliverFrames(1, 10ms);
  EXPECT_EQ(video()->framesPerSecond(), ScreenCaptureService::grabFramesPerSecond);
}

TEST_F(CaptureOnFakesTest, NothingIsEncodedWithoutViewersAndANewViewerGetsTheLastFrameWithinAHeartbeat) {
  sink->setViewers(false);
  makeCapture();
  awaitOn(loop, capture->startCapture(kLeft));
  deliverFrames(20, 50ms);
  clock.advance(1s);  // more than a heartbeat
  ASSERT_TRUE(loop.runUntil([&] { return metrics->capturedFrames() == 20; }, 5s));
  sink->setViewers(true);
  EXPECT_EQ(framesBeforeNextHeartbeat(), 0u);
  EXPECT_TRUE(sink->frames()[0].frame.keyframe);
}

TEST_F(CaptureOnFakesTest, AStaticScreenGetsAFrameEveryHeartbeatAndAStalledStreamEndsInOneReport) {
  makeCapture();
  awaitOn(loop, capture->startCapture(kLeft));
  deliverFrames(1, 0ms);
  // Nothing changes on screen for longer than the stall limit: heartbeats, and frames the watchdog asks for (every
  // 2 s) keep the stream alive. Each encode is awaited before time moves on.
  for (const auto at : {850ms, 1700ms, 2000ms, 2850ms, 3700ms, 4000ms, 4850ms, 5700ms, 6000ms, 6850ms}) {
    clock.advance(Clock::TimePoint(at) - clock.now());
    ASSERT_TRUE(sink->waitForMatch([at](const test::ReceivedFrame& f) {
      return f.frame.presentationTimeMicros == static_cast<std::uint64_t>(microsOf(Clock::TimePoint(at)));
    })) << at.count();
  }
  EXPECT_EQ(sink->count(), 11u);
  EXPECT_EQ(video()->frameRequests, 3);
  EXPECT_EQ(reports.failures.size(), 0u);
}

TEST_F(CaptureOnFakesTest, AStreamThatStallsOrEndsByItselfIsReportedOnceAndAStopFindsNothing) {
  ScopedLogCapture logs;
  const std::vector<std::pair<std::string, std::function<void()>>> endings = {
      {"Capture stalled: no frame for 5 s",
       [&] {
         video()->answerRequests(false);
         clock.advance(CaptureSchedule::livenessTimeout + 1s);
       }},
      {"Display 102 is no longer available", [&] { video()->fail("Display 102 is no longer available"); }},
  };
  for (const auto& [message, end] : endings) {
    SCOPED_TRACE(message);
    reports.failures.clear();
    makeCapture();
    awaitOn(loop, capture->startCapture(kRight));
    end();
    ASSERT_TRUE(reports.failures.waitForCount(1));
    const auto failure = reports.failures.values().at(0);
    EXPECT_EQ(failure.displayID, kRight);
    EXPECT_EQ(failure.message, message);
    EXPECT_EQ(std::string(failure.what()), message);
    EXPECT_FALSE(state().streaming);
    EXPECT_TRUE(video()->stopped);
    clock.advance(10s);
    awaitOn(loop, capture->stopCapture());
    EXPECT_EQ(reports.failures.size(), 1u);
  }
  EXPECT_EQ(test::countOf(logs.messages(), "ScreenCaptureKit stopped"), 0u);
}

TEST_F(CaptureOnFakesTest, MediaProfileRestartsOnlyOnAChange) {
  ScopedLogCapture logs;
  makeCapture();
  awaitOn(loop, capture->startCapture(kLeft));
  const auto generation = state().generation;
  const auto size = [&] { return state().width * 1000 + state().height; };

  // The values it already has: nothing happens.
  awaitOn(loop, capture->applyMediaProfile(0, 0, 48000, 2));
  EXPECT_EQ(state().generation, generation);

  // A size cap restarts the stream at the capped size, starting with a keyframe; a service without sound keeps its
  // audio format.
  awaitOn(loop, capture->applyMediaProfile(48, 1000, 24000, 1));
  EXPECT_GT(state().generation, generation);
  EXPECT_EQ(size(), 48'032);
  EXPECT_EQ(sources->videoStarts.values().back().maxOutputWidth, 48);
  EXPECT_EQ(onCapture([](ScreenCaptureService& c) { return c.requestedAudioSampleRate(); }), 48000);
  const auto messages = logs.messages();
  EXPECT_EQ(test::countOf(messages, "ScreenCaptureKit stopped"), 1u);
  EXPECT_EQ(test::countOf(messages, "VideoToolbox encoder stopped"), 1u);
  deliverFrames(1, 0ms);
  ASSERT_TRUE(sink->waitFor(1));
  ASSERT_TRUE(sink->frames()[0].frame.parameterSets);
  EXPECT_EQ(sink->frames()[0].frame.parameterSets->codedWidth, 48u);

  // Negative maxima mean no cap.
  awaitOn(loop, capture->applyMediaProfile(-5, -1, 24000, 1));
  EXPECT_EQ(size(), 96'064);

  // Not capturing: the values are only stored. The service that captures sound clamps its audio format.
  awaitOn(loop, capture->stopCapture());
  makeCapture(true);
  const auto profile = [&] {
    return onCapture([](ScreenCaptureService& c) {
      return std::vector<std::int64_t>{c.maximumOutputWidth(), c.maximumOutputHeight(), c.requestedAudioSampleRate(),
                                       c.requestedAudioChannelCount()};
    });
  };
  awaitOn(loop, capture->applyMediaProfile(100, 50, 1000, 5));
  EXPECT_EQ(profile(), (std::vector<std::int64_t>{100, 50, 8000, 2}));
  awaitOn(loop, capture->applyMediaProfile(0, 0, 32000, 0));
  EXPECT_EQ(profile(), (std::vector<std::int64_t>{0, 0, 32000, 1}));
  EXPECT_EQ(sources->videoStarts.size(), 3u);
}

TEST_F(CaptureOnFakesTest, SoundGoesToTheAudioServerAndItsFailuresLeaveThePicture) {
  ScopedLogCapture logs;
  makeCapture(true);
  awaitOn(loop, capture->startCapture(kLeft));
  EXPECT_TRUE(state().sound);
  EXPECT_EQ(sources->sound()->settings.sampleRate, 48000);
  sources->sound()->deliverPacket(-2, clock.now());
  sources->sound()->deliverPacket(0x1234, clock.now() + 20ms);
  ASSERT_TRUE(audio->waitFor(3));
  const auto events = audio->events();
  ASSERT_TRUE(events[0].isConfiguration);
  EXPECT_EQ(events[0].format, (AudioFormat{48000, 2, 960}));
  ASSERT_FALSE(events[1].isConfiguration);
  EXPECT_EQ(events[1].packet.samples.size(), 960u * 2 * 2);
  EXPECT_EQ(events[1].packet.samples[0], 0xFE);  // little-endian
  EXPECT_EQ(events[1].packet.samples[1], 0xFF);
  EXPECT_EQ(events[2].packet.samples[0], 0x34);
  EXPECT_EQ(events[2].packet.presentationTimeMicros - events[1].packet.presentationTimeMicros, 20'000u);

  // A new audio format restarts the sound, announced ahead of its packets.
  audio->clear();
  awaitOn(loop, capture->applyMediaProfile(0, 0, 24000, 1));
  sources->sound()->deliverPacket(1, clock.now());
  ASSERT_TRUE(audio->waitFor(2));
  EXPECT_EQ(audio->events()[0].format, (AudioFormat{24000, 1, 480}));
  EXPECT_EQ(audio->events()[1].packet.samples.size(), 480u * 2);

  sources->sound()->fail("Connection terminated");
  ASSERT_TRUE(eventually([&] { return !state().sound; }));
  EXPECT_TRUE(sources->sound()->stopped);
  EXPECT_TRUE(state().streaming);
  EXPECT_EQ(test::countOf(logs.messages(), "Audio capture stopped: Connection terminated"), 1u);

  // No sound server: the picture starts without sound.
  sources->soundStartError = "Connection refused";
  awaitOn(loop, capture->startCapture(kLeft));
  EXPECT_TRUE(state().streaming);
  EXPECT_FALSE(state().sound);
  EXPECT_EQ(test::countOf(logs.messages(), "Audio capture failed: Connection refused"), 1u);
}

}  // namespace
}  // namespace veltrano
