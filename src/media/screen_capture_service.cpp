#include "media/screen_capture_service.hpp"

#include <boost/asio/post.hpp>
#include <fmt/format.h>

#include <algorithm>
#include <limits>
#include <utility>

#include "base/thread_checks.hpp"
#include "core/app_logger.hpp"
#include "core/metrics_store.hpp"
#include "media/actor_access.hpp"
#include "media/blocking_call.hpp"
#include "media/blocking_deadline.hpp"
#include "media/media_activity_log.hpp"
#include "platform/capture/capture_error.hpp"
#include "platform/capture/output_size.hpp"

namespace veltrano {
namespace {

int clampToInt(std::int64_t value) {
  return static_cast<int>(std::clamp<std::int64_t>(value, 0, std::numeric_limits<int>::max()));
}

std::int64_t microsOf(Clock::TimePoint at) {
  return std::chrono::duration_cast<std::chrono::microseconds>(at.time_since_epoch()).count();
}

// A start past its deadline: the X server holds the connection but does not answer.
std::exception_ptr silentXServer() {
  return std::make_exception_ptr(ScreenCaptureError::streamFailed("The X server did not answer"));
}

// Stops both on the blocking pool (the sound first) and resumes the caller once they are joined; rethrows what
// stopping threw.
asio::awaitable<void> stopSourcesAndWait(std::shared_ptr<VideoSource> stream, std::shared_ptr<SoundSource> sound) {
  auto stopping = callBlocking([stream = std::move(stream), sound = std::move(sound)] {
    if (sound) sound->stop();
    if (stream) stream->stop();
  });
  co_await std::move(stopping);
}

}  // namespace

std::shared_ptr<ScreenCaptureService> ScreenCaptureService::create(std::shared_ptr<MetricsStore> metrics,
                                                                   std::shared_ptr<VideoEncoderService> encoder,
                                                                   std::shared_ptr<EncodedVideoFrameSink> videoServer,
                                                                   std::shared_ptr<AudioPacketSink> audioServer,
                                                                   bool capturesAudio,
                                                                   ScreenCaptureEnvironment environment) {
  return std::shared_ptr<ScreenCaptureService>(new ScreenCaptureService(
      std::move(metrics), std::move(encoder), std::move(videoServer), std::move(audioServer), capturesAudio,
      std::move(environment)));
}

ScreenCaptureService::ScreenCaptureService(std::shared_ptr<MetricsStore> metrics,
                                           std::shared_ptr<VideoEncoderService> encoderService,
                                           std::shared_ptr<EncodedVideoFrameSink> videoSink,
                                           std::shared_ptr<AudioPacketSink> audioSink, bool withSound,
                                           ScreenCaptureEnvironment environment)
    : capturesAudio_(withSound),
      encoder_(encoderService),
      videoServer_(videoSink),
      audioServer_(audioSink),
      strand_(makeActorStrand()),
      metrics_(metrics),
      environment_(std::move(environment)),
      sources_(environment_.sources ? environment_.sources : systemCaptureSources()),
      clock_(environment_.clock ? *environment_.clock : systemClock()),
      metricsBatch_(MediaMetricsBatch::create(strand_, metrics)) {}

// --- Executor state ---

void ScreenCaptureService::setUnexpectedStopHandler(UnexpectedStopHandler handler) {
  assertOnStrand(strand_);
  unexpectedStopHandler_ = std::move(handler);
}

std::uint32_t ScreenCaptureService::currentDisplayID() const {
  assertOnStrand(strand_);
  return currentDisplayID_;
}

std::int64_t ScreenCaptureService::currentWidth() const {
  assertOnStrand(strand_);
  return currentWidth_;
}

std::int64_t ScreenCaptureService::currentHeight() const {
  assertOnStrand(strand_);
  return currentHeight_;
}

DisplayFrame ScreenCaptureService::currentDisplayFrame() const {
  assertOnStrand(strand_);
  return currentDisplayFrame_;
}

std::int64_t ScreenCaptureService::maximumOutputWidth() const {
  assertOnStrand(strand_);
  return maximumOutputWidth_;
}

std::int64_t ScreenCaptureService::maximumOutputHeight() const {
  assertOnStrand(strand_);
  return maximumOutputHeight_;
}

std::int64_t ScreenCaptureService::requestedAudioSampleRate() const {
  assertOnStrand(strand_);
  return requestedAudioSampleRate_;
}

std::int64_t ScreenCaptureService::requestedAudioChannelCount() const {
  assertOnStrand(strand_);
  return requestedAudioChannelCount_;
}

// The stream and the sound release themselves in the background.
ScreenCaptureService::~ScreenCaptureService() { heartbeatTask_.cancel(); }

// --- Operations ---

asio::awaitable<std::vector<DisplayInfo>> ScreenCaptureService::availableDisplays() {
  auto listing =
      listDisplays(clock_.now() + startTimeout, std::make_exception_ptr(ScreenCaptureError::displaysUnavailable()));
  const auto monitors = co_await std::move(listing);
  if (!monitors) throw ScreenCaptureError::displaysUnavailable();
  std::vector<DisplayInfo> displays;
  displays.reserve(monitors->size());
  for (const auto& monitor : *monitors) {
    displays.push_back({monitor.id, monitor.name, monitor.bounds.width, monitor.bounds.height, 0});
  }
  co_return displays;
}

asio::awaitable<void> ScreenCaptureService::startCapture(std::optional<std::uint32_t> displayID) {
  if (!co_await isRunningOn(strand_)) co_return co_await runOn(strand_, startCapture(displayID));
  auto keep = shared_from_this();
  auto turn = co_await operationMutex_.lock();
  co_await startStream(displayID);
}

asio::awaitable<void> ScreenCaptureService::stopCapture() {
  if (!co_await isRunningOn(strand_)) co_return co_await runOn(strand_, stopCapture());
  auto keep = shared_from_this();
  auto turn = co_await operationMutex_.lock();
  co_await stopStream();
}

asio::awaitable<void> ScreenCaptureService::applyMediaProfile(std::int64_t maxWidth, std::int64_t maxHeight,
                                                              std::int64_t audioSampleRate,
                                                              std::int64_t audioChannels) {
  if (!co_await isRunningOn(strand_)) {
    co_return co_await runOn(strand_, applyMediaProfile(maxWidth, maxHeight, audioSampleRate, audioChannels));
  }
  auto keep = shared_from_this();
  auto turn = co_await operationMutex_.lock();
  const std::int64_t width = std::max<std::int64_t>(maxWidth, 0);
  const std::int64_t height = std::max<std::int64_t>(maxHeight, 0);
  std::int64_t sampleRate = requestedAudioSampleRate_;
  std::int64_t channels = requestedAudioChannelCount_;
  if (capturesAudio_) {
    sampleRate = std::max(audioSampleRate, minimumAudioSampleRate);
    channels = audioChannels > 1 ? 2 : 1;
  }
  if (width == maximumOutputWidth_ && height == maximumOutputHeight_ && sampleRate == requestedAudioSampleRate_ &&
      channels == requestedAudioChannelCount_) {
    co_return;
  }
  maximumOutputWidth_ = width;
  maximumOutputHeight_ = height;
  requestedAudioSampleRate_ = sampleRate;
  requestedAudioChannelCount_ = channels;
  if (!stream_ || currentDisplayID_ == 0) co_return;

  const std::uint32_t display = currentDisplayID_;
  co_await stopStream();
  if (auto session = encoder_.lock()) co_await session->stopSession();
  co_await startStream(display);
  if (auto session = encoder_.lock()) {
    auto forcing = onActor(std::move(session), [](VideoEncoderService& e) { e.forceKeyframe(); });
    co_await std::move(forcing);
  }
}

void ScreenCaptureService::resetState(bool cancelHeartbeat) {
  assertOnStrand(strand_);
  if (cancelHeartbeat && heartbeatTask_) {
    heartbeatTask_.cancel();
    heartbeatTask_ = {};
  }
  stream_.reset();
  sound_.reset();
  schedule_.reset();
  lastFrame_.reset();
  lastEncodedPts_ = 0;
  audioFormat_.reset();
  pendingStreamFailure_.reset();
  soundFailedWhileStarting_ = false;
  framesInFpsWindow_ = 0;
  currentDisplayID_ = 0;
  currentWidth_ = 0;
  currentHeight_ = 0;
  currentDisplayFrame_ = {};
}

// --- Start and stop ---

asio::awaitable<void> ScreenCaptureService::startStream(std::optional<std::uint32_t> displayID) {
  if (stream_) co_await stopStream();
  const Clock::TimePoint deadline = clock_.now() + startTimeout;
  const platform::X11Monitor monitor = co_await findDisplay(displayID, deadline);
  const platform::PixelSize size = platform::cappedOutputSize(monitor.bounds.width, monitor.bounds.height,
                                                              clampToInt(maximumOutputWidth_),
                                                              clampToInt(maximumOutputHeight_));
  co_await startEncoderSession(size);

  // From here on, callbacks of the new stream carry this generation.
  const std::uint64_t generation = ++generation_;
  pendingStreamFailure_.reset();
  soundFailedWhileStarting_ = false;
  schedule_.emplace(clock_.now());
  StartingSources starting;
  try {
    starting.sound = co_await startSound(generation);
    starting.video = co_await startVideo(monitor, generation, deadline);
    checkStillStarting(generation);
    const platform::PixelSize delivered = starting.video->outputSize();
    // The display changed between the listing and the start.
    if (delivered != size) co_await startEncoderSession(delivered);
    checkStillStarting(generation);
  } catch (...) {
    // What did start goes with `starting`, stopped in the background; a stop that overtook the start has reset.
    if (generation == generation_) resetState(true);
    throw;
  }
  install(std::move(starting), generation);
}

asio::awaitable<std::optional<std::vector<platform::X11Monitor>>> ScreenCaptureService::listDisplays(
    Clock::TimePoint deadline, std::exception_ptr late) {
  auto listing = callBlockingUntil(clock_, deadline, std::move(late),
                                   [sources = sources_, xName = environment_.xDisplayName] {
                                     return sources->displays(xName);
                                   });
  co_return co_await std::move(listing);
}

asio::awaitable<platform::X11Monitor> ScreenCaptureService::findDisplay(std::optional<std::uint32_t> displayID,
                                                                        Clock::TimePoint deadline) {
  auto listing = listDisplays(deadline, silentXServer());
  const auto monitors = co_await std::move(listing);
  if (!monitors) throw ScreenCaptureError::streamFailed("Cannot connect to the X server");
  if (monitors->empty()) throw ScreenCaptureError::noDisplay();
  if (!displayID) {
    auto main = platform::X11Display::mainMonitor(*monitors);
    if (!main) throw ScreenCaptureError::noDisplay();
    co_return *main;
  }
  for (const auto& candidate : *monitors) {
    if (candidate.id == *displayID) co_return candidate;
  }
  throw ScreenCaptureError::displayNotFound(*displayID);
}

asio::awaitable<void> ScreenCaptureService::startEncoderSession(platform::PixelSize size) {
  auto session = encoder_.lock();
  if (!session) co_return;
  try {
    co_await session->startSession(size.width, size.height);
  } catch (const VideoEncoderError& e) {
    throw ScreenCaptureError::encoderFailed(e.what());
  }
}

asio::awaitable<std::shared_ptr<VideoSource>> ScreenCaptureService::startVideo(const platform::X11Monitor& monitor,
                                                                               std::uint64_t generation,
                                                                               Clock::TimePoint deadline) {
  platform::CaptureStreamSettings settings;
  settings.displayID = monitor.id;
  settings.framesPerSecond = grabRate();
  settings.maxOutputWidth = clampToInt(maximumOutputWidth_);
  settings.maxOutputHeight = clampToInt(maximumOutputHeight_);
  settings.showsCursor = true;
  settings.xDisplayName = environment_.xDisplayName;
  std::weak_ptr<ScreenCaptureService> weak = weak_from_this();
  const Strand strand = strand_;
  VideoSource::FrameHandler onFrame = [weak, strand, generation](std::shared_ptr<const platform::CapturedFrame> frame) {
    boost::asio::post(strand, [weak, generation, frame = std::move(frame)]() mutable {
      if (auto self = weak.lock()) self->handleFrame(generation, std::move(frame));
    });
  };
  VideoSource::StopHandler onStop = [weak, strand, generation](const std::string& message) {
    boost::asio::post(strand, [weak, generation, message] {
      if (auto self = weak.lock()) self->failStream(generation, message);
    });
  };
  try {
    auto starting = callBlockingUntil(clock_, deadline, silentXServer(),
                                      [sources = sources_, settings, onFrame, onStop] {
                                        return sources->startVideo(settings, onFrame, onStop);
                                      });
    co_return co_await std::move(starting);
  } catch (const platform::CaptureError& e) {
    throw ScreenCaptureError::streamFailed(e.what());
  }
}

void ScreenCaptureService::checkStillStarting(std::uint64_t generation) const {
  if (generation != generation_) throw ScreenCaptureError::streamFailed("the capture was stopped while starting");
  // The stream ended before it was installed.
  if (pendingStreamFailure_) throw ScreenCaptureError::streamFailed(*pendingStreamFailure_);
}

void ScreenCaptureService::install(StartingSources starting, std::uint64_t generation) {
  stream_ = std::move(starting.video);
  if (!soundFailedWhileStarting_) sound_ = std::move(starting.sound);
  fpsWindowStart_ = clock_.now();
  const platform::X11Monitor shown = stream_->display();
  const platform::PixelSize delivered = stream_->outputSize();
  currentDisplayID_ = shown.id;
  currentWidth_ = delivered.width;
  currentHeight_ = delivered.height;
  currentDisplayFrame_ = {static_cast<double>(shown.bounds.x), static_cast<double>(shown.bounds.y),
                         static_cast<double>(shown.bounds.width), static_cast<double>(shown.bounds.height)};
  if (heartbeatTask_) heartbeatTask_.cancel();
  heartbeatTask_ = Task::spawn(strand_, [weak = weak_from_this(), generation](TaskToken token) {
    return heartbeat(weak, generation, std::move(token));
  });
  logMediaActivity(metrics_, LogCategory::CAPTURE,
                   fmt::format("Captura iniciada display={} {}x{}", currentDisplayID_, currentWidth_, currentHeight_));
}

asio::awaitable<void> ScreenCaptureService::stopStream() {
  ++generation_;
  auto stream = std::move(stream_);
  auto sound = std::move(sound_);
  resetState(true);
  if (!stream) co_return;  // a sound without its stream stops in the background
  try {
    auto stopping = stopSourcesAndWait(stream, sound);
    co_await std::move(stopping);
  } catch (const std::exception& e) {
    logMediaActivity(metrics_, LogCategory::Error, std::string("stopCapture failed: ") + e.what());
  }
  logMediaActivity(metrics_, LogCategory::CAPTURE, "ScreenCaptureKit stopped");
}

// --- A stream that stops by itself ---

void ScreenCaptureService::failStream(std::uint64_t generation, const std::string& message) {
  if (generation != generation_) return;
  if (!stream_) {
    // Still starting: the start reports it.
    if (!pendingStreamFailure_) pendingStreamFailure_ = message;
    return;
  }
  const std::uint32_t displayID = currentDisplayID_;
  ++generation_;
  auto stream = std::move(stream_);
  auto sound = std::move(sound_);
  resetState(true);
  logMediaActivity(metrics_, LogCategory::Error, fmt::format("Capture stream stopped display={}: {}", displayID, message));
  Task::spawn(strand_, [self = shared_from_this(), stream, sound, failure = ScreenCaptureFailure(displayID, message)](
                           TaskToken) { return reportFailure(self, stream, sound, failure); });
}

asio::awaitable<void> ScreenCaptureService::reportFailure(std::shared_ptr<ScreenCaptureService> self,
                                                          std::shared_ptr<VideoSource> stream,
                                                          std::shared_ptr<SoundSource> sound,
                                                          ScreenCaptureFailure failure) {
  try {
    auto stopping = stopSourcesAndWait(std::move(stream), std::move(sound));
    co_await std::move(stopping);
  } catch (const std::exception& e) {
    log(LogCategory::Error, std::string("stopCapture failed: ") + e.what());
  }
  // Read now: the host clears the handler before it stops the capture itself.
  auto handler = self->unexpectedStopHandler_;
  if (!handler) co_return;
  try {
    auto handling = handler(std::move(failure));
    co_await std::move(handling);
  } catch (const std::exception& e) {
    log(LogCategory::Error, std::string("unexpected stop handler failed: ") + e.what());
  }
}

// --- Frames ---

void ScreenCaptureService::handleFrame(std::uint64_t generation, std::shared_ptr<const platform::CapturedFrame> frame) {
  if (generation != generation_ || !schedule_) return;
  schedule_->captured(frame->timestamp);
  followDesiredRate();
  lastFrame_ = frame;
  metricsBatch_->update([](MediaMetricsUpdate& update) { ++update.capturedFrames; });
  if (!hasViewers() || !schedule_->admitFrame(frame->timestamp, desiredEncodeFps_)) return;
  if (sendToEncoder(frame, microsOf(frame->timestamp))) schedule_->encoded(frame->timestamp);
}

void ScreenCaptureService::setDesiredEncodeFps(std::int32_t framesPerSecond) {
  assertOnStrand(strand_);
  desiredEncodeFps_ = framesPerSecond;
  if (schedule_) schedule_->restartPacing();
}

int ScreenCaptureService::grabRate() const { return std::clamp<int>(desiredEncodeFps_, 1, grabFramesPerSecond); }

// The host may change desiredEncodeFps_ while the stream runs.
void ScreenCaptureService::followDesiredRate() {
  if (stream_ && stream_->framesPerSecond() != grabRate()) stream_->setFramesPerSecond(grabRate());
}

bool ScreenCaptureService::hasViewers() const {
  auto sink = videoServer_.lock();
  return sink && sink->hasViewers();
}

bool ScreenCaptureService::sendToEncoder(const std::shared_ptr<const platform::CapturedFrame>& frame,
                                         std::int64_t ptsMicros) {
  auto session = encoder_.lock();
  if (!session) return false;
  const std::int64_t pts = std::max(ptsMicros, lastEncodedPts_ + 1);
  lastEncodedPts_ = pts;
  session->encode(frame, pts);
  ++framesInFpsWindow_;
  metricsBatch_->update([&](MediaMetricsUpdate& update) {
    update.lastFrameDescription = fmt::format("{}x{} I420 display={}", frame->width, frame->height, currentDisplayID_);
  });
  return true;
}

void ScreenCaptureService::publishFps(Clock::TimePoint now) {
  const auto elapsed = now - fpsWindowStart_;
  if (elapsed < std::chrono::seconds(1)) return;
  const double fps = static_cast<double>(framesInFpsWindow_) / std::chrono::duration<double>(elapsed).count();
  fpsWindowStart_ = now;
  framesInFpsWindow_ = 0;
  // Displays nobody watches leave the figure to the one that is watched.
  if (fps == 0 && publishedFps_ == 0) return;
  publishedFps_ = fps;
  metricsBatch_->update([fps](MediaMetricsUpdate& update) { update.fps = fps; });
}

// --- Heartbeat and watchdog ---

asio::awaitable<void> ScreenCaptureService::heartbeat(std::weak_ptr<ScreenCaptureService> weak,
                                                      std::uint64_t generation, TaskToken token) {
  Clock* clock = nullptr;
  if (auto self = weak.lock()) clock = &self->clock_;
  if (!clock) co_return;
  auto wake = clock->now() + CaptureSchedule::idleTick;
  for (;;) {
    co_await clock->sleepUntil(token, wake);
    auto self = weak.lock();
    if (!self || token->isCancelled() || self->generation_ != generation || !self->stream_) co_return;
    wake = self->heartbeatStep(clock->now());
  }
}

Clock::TimePoint ScreenCaptureService::heartbeatStep(Clock::TimePoint now) {
  const bool canResend = lastFrame_ && hasViewers() && !encoder_.expired();
  const CaptureSchedule::Step step = schedule_->step(now, canResend);
  if (step.stalledFor) {
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(*step.stalledFor).count();
    failStream(generation_, fmt::format("Capture stalled: no frame for {} s", seconds));
    return step.next;
  }
  if (step.requestFrame) stream_->requestFrame();
  followDesiredRate();
  if (step.resendLastFrame) sendToEncoder(lastFrame_, microsOf(now));
  publishFps(now);
  return step.next;
}

// --- Sound ---

asio::awaitable<std::shared_ptr<SoundSource>> ScreenCaptureService::startSound(std::uint64_t generation) {
  if (!capturesAudio_ || audioServer_.expired()) co_return nullptr;
  platform::AudioCaptureSettings settings;
  settings.sampleRate = clampToInt(requestedAudioSampleRate_);
  settings.channels = clampToInt(requestedAudioChannelCount_);
  settings.server = environment_.soundServerName;
  std::weak_ptr<ScreenCaptureService> weak = weak_from_this();
  const Strand strand = strand_;
  SoundSource::PacketHandler onPacket = [weak, strand, generation](platform::AudioPacket packet) {
    boost::asio::post(strand, [weak, generation, packet = std::move(packet)]() mutable {
      if (auto self = weak.lock()) self->handleSoundPacket(generation, std::move(packet));
    });
  };
  SoundSource::StopHandler onStop = [weak, strand, generation](const std::string& message) {
    boost::asio::post(strand, [weak, generation, message] {
      if (auto self = weak.lock()) self->handleSoundStopped(generation, message);
    });
  };
  try {
    auto starting = callBlocking([sources = sources_, settings, onPacket, onStop] {
      return sources->startSound(settings, onPacket, onStop);
    });
    co_return co_await std::move(starting);
  } catch (const platform::AudioCaptureError& e) {
    // The picture goes on without sound; the next start tries again.
    logMediaActivity(metrics_, LogCategory::Error, std::string("Audio capture failed: ") + e.what());
  }
  co_return nullptr;
}

void ScreenCaptureService::handleSoundPacket(std::uint64_t generation, platform::AudioPacket packet) {
  if (generation != generation_ || !sound_) return;
  auto sink = audioServer_.lock();
  if (!sink || packet.channels < 1 || packet.channels > 2 || packet.sampleRate <= 0) return;
  AudioFormat format;
  format.sampleRate = static_cast<std::uint32_t>(packet.sampleRate);
  format.channels = static_cast<std::uint8_t>(packet.channels);
  format.framesPerPacket = static_cast<std::uint16_t>(sound_->framesPerPacket());
  if (audioFormat_ != format) {
    audioFormat_ = format;
    log(LogCategory::CAPTURE,
        fmt::format("===VL=== AUDIO formato: {} Hz x{} s16le", format.sampleRate, static_cast<int>(format.channels)));
    sink->submitAudioConfiguration(format);
  }
  AudioPacket out;
  out.presentationTimeMicros = static_cast<std::uint64_t>(microsOf(packet.timestamp));
  out.format = format;
  out.samples.reserve(packet.samples.size() * 2);
  for (const std::int16_t sample : packet.samples) {
    const auto bits = static_cast<std::uint16_t>(sample);
    out.samples.push_back(static_cast<std::uint8_t>(bits & 0xFF));
    out.samples.push_back(static_cast<std::uint8_t>(bits >> 8));
  }
  sink->submitAudioPacket(std::move(out));
}

void ScreenCaptureService::handleSoundStopped(std::uint64_t generation, const std::string& message) {
  if (generation != generation_) return;
  if (!sound_) {
    soundFailedWhileStarting_ = true;  // the start does not install it
    return;
  }
  logMediaActivity(metrics_, LogCategory::Error, "Audio capture stopped: " + message);
  sound_.reset();  // stopped in the background
  audioFormat_.reset();
}

}  // namespace veltrano
