#pragma once
// VideoEncoderService: the H.264 encoder of one display, an actor. The capture service hands it paced frames;
// it compresses them on an encoder thread of its own and hands every access unit (with the parameter sets on
// each keyframe) to its display's video server.
//
// Threads: the fields marked "executor" change on executor() only (use onActor from outside). encode() and
// requestKeyframe() may be called from any thread. The compression session's output arrives on its encoder
// thread and hops back onto the executor, where outputs of an older session are dropped by the callback
// generation.
#include <boost/asio/awaitable.hpp>

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>

#include "base/actor.hpp"
#include "base/executors.hpp"
#include "media/encoded_video_frame.hpp"
#include "media/media_metrics_update.hpp"
#include "platform/capture/captured_frame.hpp"
#include "platform/h264/h264_types.hpp"

namespace veltrano {

class MetricsStore;
namespace platform {
class H264CompressionSession;
}

class VideoEncoderError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class VideoEncoderService : public std::enable_shared_from_this<VideoEncoderService>, public KeyframeRequestTarget {
 public:
  static constexpr std::int64_t defaultBitRate = 5'000'000;
  static constexpr std::int32_t defaultFrameRate = 45;
  // setBitRate takes values from minimumBitRate on; larger values than maximumBitRate (H.264's highest level)
  // are taken as maximumBitRate.
  static constexpr std::int64_t minimumBitRate = 100'001;
  static constexpr std::int64_t maximumBitRate = 800'000'000;
  static constexpr std::int32_t minimumFrameRate = 6;
  static constexpr std::int32_t maximumFrameRate = 120;

  // The last release, on whatever thread, destroys the service on the blocking pool (it joins the encoder thread).
  static std::shared_ptr<VideoEncoderService> create(std::shared_ptr<MetricsStore> metrics);
  ~VideoEncoderService() override;
  VideoEncoderService(const VideoEncoderService&) = delete;
  VideoEncoderService& operator=(const VideoEncoderService&) = delete;

  const Strand& executor() const { return strand_; }

  // Opens a compression session for frames of width x height (even, at least 2), replacing any open one.
  // Throws VideoEncoderError with the reason.
  boost::asio::awaitable<void> startSession(int width, int height);
  // Queues one frame (kept alive until encoded) with its presentation time; takes the force-keyframe flag.
  // Dropped without a session or when its size is not the session's. Any thread; runs on the executor in call
  // order.
  void encode(std::shared_ptr<const platform::CapturedFrame> frame, std::int64_t ptsMicros);
  // Advances the callback generation, completes pending frames (their outputs are dropped), closes the session,
  // resets the counters and logs "VideoToolbox encoder stopped". Never fails; harmless without a session.
  boost::asio::awaitable<void> stopSession();
  // Ignored unless at least minimumBitRate and different from the current bit rate; otherwise sets the average
  // bit rate and the data-rate limits (now, or at the next session).
  boost::asio::awaitable<void> setBitRate(std::int64_t bitsPerSecond);
  // Ignored unless within minimumFrameRate..maximumFrameRate and different from the current rate; otherwise
  // sets the expected frame rate and a keyframe interval of twice that rate (the session is rebuilt before its
  // next frame, which is then a keyframe).
  boost::asio::awaitable<void> setFrameRate(std::int32_t framesPerSecond);
  // Forces the next keyframe on the executor. Any thread.
  void requestKeyframe() override;

  // Executor state.
  void setFrameSink(std::weak_ptr<EncodedVideoFrameSink> sink);  // where the encoded frames go
  // The next encoded frame is a keyframe; cleared when that frame is submitted.
  void forceKeyframe();
  bool isKeyframeForced() const;
  std::int64_t bitRate() const;
  std::int32_t frameRate() const;
  bool hasSession() const;
  std::uint64_t encodedFrameCount() const;  // of the current session
  std::uint64_t keyframeCount() const;

 private:
  explicit VideoEncoderService(std::shared_ptr<MetricsStore> metrics);

  void encodeOnExecutor(const std::shared_ptr<const platform::CapturedFrame>& frame, std::int64_t ptsMicros);
  void deliver(std::uint64_t generation, platform::EncodedAccessUnit unit);
  // Takes the session out and closes it on the blocking pool.
  boost::asio::awaitable<void> closeSession(bool completePending);

  const Strand strand_;
  const std::weak_ptr<MetricsStore> metrics_;
  const std::shared_ptr<MediaMetricsBatch> metricsBatch_;  // executor
  AsyncMutex sessionMutex_;  // session start and stop do not interleave across their waits

  // Executor state.
  std::weak_ptr<EncodedVideoFrameSink> frameSink_;
  bool keyframeForced_ = false;
  std::unique_ptr<platform::H264CompressionSession> session_;
  int sessionWidth_ = 0;
  int sessionHeight_ = 0;
  std::uint64_t callbackGeneration_ = 0;
  std::int64_t bitRate_ = defaultBitRate;
  std::int32_t frameRate_ = defaultFrameRate;
  std::int64_t lastSubmittedPts_ = 0;
  std::uint64_t encodedFrames_ = 0;
  std::uint64_t keyframes_ = 0;
  double averageEncodeMs_ = -1;  // negative: no frame yet
};

}  // namespace veltrano
