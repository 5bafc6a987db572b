#include "media/video_encoder_service.hpp"

#include <boost/asio/post.hpp>

#include <algorithm>
#include <utility>

#include "base/thread_checks.hpp"
#include "core/app_logger.hpp"
#include "core/metrics_store.hpp"
#include "media/background_release.hpp"
#include "media/blocking_call.hpp"
#include "media/media_activity_log.hpp"
#include "platform/h264/h264_compression_session.hpp"

namespace veltrano {

std::shared_ptr<VideoEncoderService> VideoEncoderService::create(std::shared_ptr<MetricsStore> metrics) {
  // An open session's encoder thread is joined when the service goes.
  return releasedInBackground(std::unique_ptr<VideoEncoderService>(new VideoEncoderService(std::move(metrics))));
}

VideoEncoderService::VideoEncoderService(std::shared_ptr<MetricsStore> metrics)
    : strand_(makeActorStrand()), metrics_(metrics), metricsBatch_(MediaMetricsBatch::create(strand_, metrics)) {}

VideoEncoderService::~VideoEncoderService() = default;

void VideoEncoderService::setFrameSink(std::weak_ptr<EncodedVideoFrameSink> sink) {
  assertOnStrand(strand_);
  frameSink_ = std::move(sink);
}

void VideoEncoderService::forceKeyframe() {
  assertOnStrand(strand_);
  keyframeForced_ = true;
}

bool VideoEncoderService::isKeyframeForced() const {
  assertOnStrand(strand_);
  return keyframeForced_;
}

std::int64_t VideoEncoderService::bitRate() const {
  assertOnStrand(strand_);
  return bitRate_;
}

std::int32_t VideoEncoderService::frameRate() const {
  assertOnStrand(strand_);
  return frameRate_;
}

bool VideoEncoderService::hasSession() const {
  assertOnStrand(strand_);
  return session_ != nullptr;
}

std::uint64_t VideoEncoderService::encodedFrameCount() const {
  assertOnStrand(strand_);
  return encodedFrames_;
}

std::uint64_t VideoEncoderService::keyframeCount() const {
  assertOnStrand(strand_);
  return keyframes_;
}

asio::awaitable<void> VideoEncoderService::startSession(int width, int height) {
  if (!co_await isRunningOn(strand_)) co_return co_await runOn(strand_, startSession(width, height));
  auto keep = shared_from_this();
  auto turn = co_await sessionMutex_.lock();
  if (width < 2 || height < 2 || width % 2 != 0 || height % 2 != 0) {
    throw VideoEncoderError("Unsupported picture size " + std::to_string(width) + "x" + std::to_string(height));
  }
  co_await closeSession(false);
  const std::uint64_t generation = ++callbackGeneration_;
  platform::H264EncoderSettings settings;
  settings.width = width;
  settings.height = height;
  settings.framesPerSecond = frameRate_;
  settings.bitRate = static_cast<int>(bitRate_);
  settings.keyframeInterval = 2 * frameRate_;
  std::weak_ptr<VideoEncoderService> weak = keep;
  const Strand strand = strand_;
  auto onOutput = [weak, strand, generation](platform::EncodedAccessUnit unit) {
    asio::post(strand, [weak, generation, unit = std::move(unit)]() mutable {
      if (auto self = weak.lock()) self->deliver(generation, std::move(unit));
    });
  };
  auto onError = [](const std::string& message) { log(LogCategory::Error, "Video encoder error: " + message); };
  auto open = [settings, onOutput, onError] {
    return platform::H264CompressionSession::create(settings, onOutput, onError);
  };
  std::unique_ptr<platform::H264CompressionSession> session;
  try {
    auto opening = callBlocking(std::move(open));
    session = co_await std::move(opening);
  } catch (const platform::H264Error& e) {
    throw VideoEncoderError(e.what());
  }
  session_ = std::move(session);
  sessionWidth_ = width;
  sessionHeight_ = height;
}

asio::awaitable<void> VideoEncoderService::stopSession() {
  if (!co_await isRunningOn(strand_)) co_return co_await runOn(strand_, stopSession());
  auto keep = shared_from_this();
  auto turn = co_await sessionMutex_.lock();
  ++callbackGeneration_;
  co_await closeSession(true);
  encodedFrames_ = 0;
  keyframes_ = 0;
  averageEncodeMs_ = -1;
  logMediaActivity(metrics_, LogCategory::SCREEN, "VideoToolbox encoder stopped");
}

asio::awaitable<void> VideoEncoderService::closeSession(bool completePending) {
  assertOnStrand(strand_);
  auto session = std::move(session_);
  sessionWidth_ = 0;
  sessionHeight_ = 0;
  if (!session) co_return;
  std::shared_ptr<platform::H264CompressionSession> closing(std::move(session));
  auto close = [closing = std::move(closing), completePending] {
    if (completePending) closing->completePending();
    closing->invalidate();
  };
  auto closingWork = callBlocking(std::move(close));
  co_await std::move(closingWork);
}

void VideoEncoderService::encode(std::shared_ptr<const platform::CapturedFrame> frame, std::int64_t ptsMicros) {
  if (!frame) return;
  asio::post(strand_, [weak = weak_from_this(), frame = std::move(frame), ptsMicros] {
    if (auto self = weak.lock()) self->encodeOnExecutor(frame, ptsMicros);
  });
}

void VideoEncoderService::encodeOnExecutor(const std::shared_ptr<const platform::CapturedFrame>& frame,
                                           std::int64_t ptsMicros) {
  assertOnStrand(strand_);
  if (!session_) return;
  // A frame of another size (a capture restarted while this one was on its way) would be read out of bounds.
  if (frame->width != sessionWidth_ || frame->height != sessionHeight_ || !frame->isComplete()) return;
  // Presentation times increase strictly within a stream, also for a repeated frame.
  const std::int64_t pts = std::max(ptsMicros, lastSubmittedPts_ + 1);
  lastSubmittedPts_ = pts;
  const bool force = std::exchange(keyframeForced_, false);
  const platform::I420Image image{frame->y(), frame->width,        frame->u(),    frame->chromaWidth(),
                                  frame->v(), frame->chromaWidth(), frame->width, frame->height};
  session_->submit(image, frame, pts, force);
}

void VideoEncoderService::deliver(std::uint64_t generation, platform::EncodedAccessUnit unit) {
  assertOnStrand(strand_);
  if (generation != callbackGeneration_) return;
  ++encodedFrames_;
  if (unit.keyframe) ++keyframes_;
  const double ms = static_cast<double>(unit.encodeDuration.count()) / 1000.0;
  averageEncodeMs_ = averageEncodeMs_ < 0 ? ms : averageEncodeMs_ * 0.8 + ms * 0.2;
  metricsBatch_->update([keyframe = unit.keyframe, ms = averageEncodeMs_](MediaMetricsUpdate& update) {
    ++update.encodedFrames;
    if (keyframe) ++update.keyframes;
    update.encodeMs = ms;
  });

  EncodedVideoFrame frame;
  frame.keyframe = unit.keyframe;
  frame.presentationTimeMicros = static_cast<std::uint64_t>(unit.ptsMicros);
  frame.accessUnit = std::move(unit.data);
  if (unit.keyframe) {
    auto sets = unit.parameterSets ? unit.parameterSets : (session_ ? session_->parameterSets() : nullptr);
    if (sets) {
      VideoParameterSets parameterSets;
      parameterSets.codedWidth = static_cast<std::uint32_t>(sets->width);
      parameterSets.codedHeight = static_cast<std::uint32_t>(sets->height);
      parameterSets.sps.assign(sets->sps.begin(), sets->sps.end());
      parameterSets.pps.assign(sets->pps.begin(), sets->pps.end());
      frame.parameterSets = std::move(parameterSets);
    }
  }
  if (auto sink = frameSink_.lock()) sink->submitEncodedFrame(std::move(frame));
}

asio::awaitable<void> VideoEncoderService::setBitRate(std::int64_t bitsPerSecond) {
  auto keep = shared_from_this();
  auto work = runOn(strand_, [](std::shared_ptr<VideoEncoderService> self, std::int64_t value) -> asio::awaitable<void> {
    if (value < minimumBitRate) co_return;
    value = std::min(value, maximumBitRate);
    if (value == self->bitRate_) co_return;
    self->bitRate_ = value;
    if (self->session_) self->session_->setBitRate(static_cast<int>(value));
  }(std::move(keep), bitsPerSecond));
  co_await std::move(work);
}

asio::awaitable<void> VideoEncoderService::setFrameRate(std::int32_t framesPerSecond) {
  auto keep = shared_from_this();
  auto work = runOn(strand_, [](std::shared_ptr<VideoEncoderService> self, std::int32_t value) -> asio::awaitable<void> {
    if (value < minimumFrameRate || value > maximumFrameRate || value == self->frameRate_) co_return;
    self->frameRate_ = value;
    if (self->session_) {
      self->session_->setFrameRate(value);
      self->session_->setKeyframeInterval(2 * value);
    }
  }(std::move(keep), framesPerSecond));
  co_await std::move(work);
}

void VideoEncoderService::requestKeyframe() {
  asio::post(strand_, [weak = weak_from_this()] {
    if (auto self = weak.lock()) self->forceKeyframe();
  });
}

}  // namespace veltrano
