// The encoder actor with the real x264 session: what reaches its video server, keyframes on demand, the bit-rate
// and frame-rate rules, and that a stopped session's outputs never arrive.
#include "media/video_encoder_service.hpp"

#include <gtest/gtest.h>

#include <boost/asio/post.hpp>

#include <algorithm>
#include <filesystem>
#include <future>

#include "capture_test_support.hpp"
#include "core/log_capture.hpp"
#include "core/metrics_store.hpp"
#include "media/actor_access.hpp"
#include "media/background_release.hpp"
#include "support/eventually.hpp"

namespace veltrano {
namespace {

using namespace std::chrono_literals;
using test::awaitOn;
using test::RecordingVideoSink;
using test::solidFrame;

// Threads of this process.
std::size_t threadCount() {
  const std::filesystem::directory_iterator tasks("/proc/self/task");
  return static_cast<std::size_t>(std::distance(std::filesystem::begin(tasks), std::filesystem::end(tasks)));
}

class VideoEncoderServiceTest : public test::EncoderServiceTest {
 protected:
  template <class F>
  auto onEncoder(F fn) {
    return awaitOn(loop, onActor(encoder, std::move(fn)));
  }
  // Encodes `count` frames 20 ms apart in presentation time, each once the one before has come out (the session
  // drops pictures that wait behind more than a few), and expects the sink to have `expected` frames in all.
  void encodeFrames(int count, std::shared_ptr<const platform::CapturedFrame> frame, std::size_t expected) {
    const std::size_t before = sink->count();
    for (int i = 0; i < count; ++i) {
      encoder->encode(frame, nextPts_);
      nextPts_ += 20'000;
      ASSERT_TRUE(sink->waitFor(before + i + 1)) << "frame " << i << " did not come out";
    }
    EXPECT_EQ(sink->count(), expected);
  }

  std::int64_t nextPts_ = 1'000'000;
};

TEST_F(VideoEncoderServiceTest, FramesAreCountedAndAForcedKeyframeCarriesParameterSetsAndClearsTheFlag) {
  awaitOn(loop, encoder->startSession(64, 48));
  const auto frame = solidFrame(64, 48, 10, 200, 10);
  encodeFrames(3, frame, 3);
  onEncoder([](VideoEncoderService& e) { e.forceKeyframe(); });
  encodeFrames(2, frame, 5);
  EXPECT_FALSE(onEncoder([](VideoEncoderService& e) { return e.isKeyframeForced(); }));
  encoder->requestKeyframe();  // the servers' way, from any thread
  encodeFrames(1, frame, 6);
  const auto frames = sink->frames();
  std::vector<bool> keys;
  for (const auto& received : frames) keys.push_back(received.frame.keyframe);
  EXPECT_EQ(keys, (std::vector<bool>{true, false, false, true, false, true}));
  ASSERT_TRUE(frames[0].frame.parameterSets);
  EXPECT_EQ(frames[0].frame.parameterSets->codedWidth * 1000 + frames[0].frame.parameterSets->codedHeight, 64'048u);
  for (std::size_t i = 1; i < frames.size(); ++i) {
    EXPECT_EQ(frames[i].frame.parameterSets, keys[i] ? frames[0].frame.parameterSets : std::nullopt) << i;
    EXPECT_GT(frames[i].frame.presentationTimeMicros, frames[i - 1].frame.presentationTimeMicros);
  }
  // Counted on the actor, and in batches on the main thread.
  EXPECT_EQ(onEncoder([](VideoEncoderService& e) { return e.encodedFrameCount(); }), 6u);
  EXPECT_EQ(onEncoder([](VideoEncoderService& e) { return e.keyframeCount(); }), 3u);
  ASSERT_TRUE(loop.runUntil([&] { return metrics->encodedFrames() == 6; }));
  EXPECT_EQ(metrics->keyframes(), 3);
  EXPECT_GT(metrics->encodeMs(), 0.0);
}

TEST_F(VideoEncoderServiceTest, BitRateAndFrameRateTakeOnlyNewValuesInRange) {
  auto bitRate = [&] { return onEncoder([](VideoEncoderService& e) { return e.bitRate(); }); };
  auto frameRate = [&] { return onEncoder([](VideoEncoderService& e) { return e.frameRate(); }); };
  // Without a session the values wait for the next one. Rows in order, from the defaults on.
  const struct {
    bool isBitRate;
    std::int64_t value;
    std::int64_t expected;
  } steps[] = {{true, 100'000, 5'000'000},  {true, -7, 5'000'000}, {true, 100'001, 100'001},
               {true, std::int64_t{1} << 40, VideoEncoderService::maximumBitRate},  // beyond any H.264 level
               {false, 5, 45},  {false, 121, 45}, {false, 0, 45}, {false, 120, 120}, {false, 6, 6}};
  for (const auto& step : steps) {
    awaitOn(loop, step.isBitRate ? encoder->setBitRate(step.value)
                                 : encoder->setFrameRate(static_cast<std::int32_t>(step.value)));
    EXPECT_EQ(step.isBitRate ? bitRate() : frameRate(), step.expected) << step.value;
  }

  // With a session: a new frame rate rebuilds it, so the next frame is a keyframe with parameter sets; the same
  // rate again changes nothing.
  awaitOn(loop, encoder->setBitRate(2'000'000));
  awaitOn(loop, encoder->startSession(64, 48));
  const auto frame = solidFrame(64, 48, 90, 90, 200);
  encodeFrames(3, frame, 3);
  awaitOn(loop, encoder->setFrameRate(30));
  encodeFrames(2, frame, 5);
  awaitOn(loop, encoder->setFrameRate(30));
  awaitOn(loop, encoder->setBitRate(2'000'000));
  awaitOn(loop, encoder->setBitRate(3'000'000));
  encodeFrames(2, frame, 7);
  const auto frames = sink->frames();
  for (std::size_t i = 3; i < frames.size(); ++i) EXPECT_EQ(frames[i].frame.keyframe, i == 3) << i;
  EXPECT_TRUE(frames[3].frame.parameterSets);
  EXPECT_EQ(frameRate(), 30);
  EXPECT_EQ(bitRate(), 3'000'000);
}

TEST_F(VideoEncoderServiceTest, StoppedSessionDeliversNothingMoreAndLogs) {
  ScopedLogCapture logs;
  awaitOn(loop, encoder->startSession(64, 48));
  const auto frame = solidFrame(64, 48, 30, 30, 30);
  encodeFrames(2, frame, 2);
  for (int i = 0; i < 3; ++i) encoder->encode(frame, nextPts_ + i * 20'000);
  awaitOn(loop, encoder->stopSession());  // pending frames are completed; their outputs are dropped
  const std::size_t afterStop = sink->count();
  EXPECT_FALSE(onEncoder([](VideoEncoderService& e) { return e.hasSession(); }));
  EXPECT_EQ(onEncoder([](VideoEncoderService& e) { return e.encodedFrameCount(); }), 0u);
  encoder->encode(frame, nextPts_ + 1'000'000);  // no session: dropped
  awaitOn(loop, encoder->startSession(64, 48));
  encoder->encode(frame, nextPts_ + 2'000'000);
  ASSERT_TRUE(sink->waitFor(afterStop + 1));  // frames come out in order: a dropped one would have come first
  EXPECT_EQ(sink->frames().at(afterStop).frame.presentationTimeMicros, static_cast<std::uint64_t>(nextPts_ + 2'000'000));
  awaitOn(loop, encoder->stopSession());
  const auto messages = logs.messages();
  EXPECT_EQ(std::count(messages.begin(), messages.end(), "VideoToolbox encoder stopped"), 2);
  awaitOn(loop, encoder->stopSession());  // harmless without a session
  ASSERT_TRUE(loop.runUntil(
      [&] {
        const auto& events = metrics->events().get();
        return std::count_if(events.begin(), events.end(), [](const MetricsStore::LogEvent& e) {
                 return e.message == "VideoToolbox encoder stopped" && e.tag == "SCREEN";
               }) == 3;
      }));
}

TEST_F(VideoEncoderServiceTest, RejectsBadSizesAndFramesThatDoNotFitTheSessionAndANewSessionReplacesIt) {
  EXPECT_THROW(awaitOn(loop, encoder->startSession(63, 48)), VideoEncoderError);
  EXPECT_THROW(awaitOn(loop, encoder->startSession(0, 0)), VideoEncoderError);
  awaitOn(loop, encoder->startSession(64, 48));
  encoder->encode(solidFrame(128, 96, 1, 2, 3), 100);  // bigger than the session: never read
  auto truncated = std::make_shared<platform::CapturedFrame>(*solidFrame(64, 48, 1, 2, 3));
  truncated->planes.resize(100);
  encoder->encode(truncated, 200);
  // Equal or older times still come out strictly increasing; the frames above would have come out first.
  const auto frame = solidFrame(64, 48, 1, 2, 3);
  for (const std::int64_t pts : {500, 500, 400}) encoder->encode(frame, pts);
  ASSERT_TRUE(sink->waitFor(3));
  // A new session takes only its own size and starts with a keyframe.
  awaitOn(loop, encoder->startSession(32, 24));
  encoder->encode(frame, 600);
  encodeFrames(1, solidFrame(32, 24, 1, 2, 3), 4);
  std::vector<std::uint64_t> times;
  for (const auto& received : sink->frames()) times.push_back(received.frame.presentationTimeMicros);
  EXPECT_EQ(times, (std::vector<std::uint64_t>{500, 501, 502, static_cast<std::uint64_t>(nextPts_ - 20'000)}));
  const auto last = sink->frames()[3].frame;
  EXPECT_TRUE(last.keyframe);
  ASSERT_TRUE(last.parameterSets);
  EXPECT_EQ(last.parameterSets->codedWidth, 32u);
}

TEST_F(VideoEncoderServiceTest, ItsStateIsReadOnItsExecutorOnly) {
#ifdef VELTRANO_THREAD_CHECKS
  EXPECT_DEATH((void)encoder->bitRate(), "called off its strand");
  EXPECT_DEATH(encoder->forceKeyframe(), "called off its strand");
#else
  GTEST_SKIP() << "built without VELTRANO_THREAD_CHECKS";
#endif
}

TEST_F(VideoEncoderServiceTest, TheLastReleaseOnAnIoThreadLeavesTheJoinToTheBlockingPool) {
  auto released = VideoEncoderService::create(metrics);
  awaitOn(loop, released->startSession(64, 48));
  // The releases wait behind this until the test lets them go.
  std::promise<void> letGo;
  asio::post(backgroundReleaseExecutor(), [held = letGo.get_future().share()] { held.wait(); });
  const std::size_t withEncoder = threadCount();
  std::promise<std::size_t> afterRelease;
  asio::post(sharedIo().executor(), [&afterRelease, owner = std::move(released)]() mutable {
    owner.reset();
    afterRelease.set_value(threadCount());
  });
  // Returned at once with the encoder's threads still running: nothing was joined on the I/O thread.
  EXPECT_EQ(afterRelease.get_future().get(), withEncoder);
  letGo.set_value();
  EXPECT_TRUE(testing::eventually([&] { return threadCount() < withEncoder; }));
}

}  // namespace
}  // namespace veltrano
