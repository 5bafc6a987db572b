#include "media/screen_capture_service.hpp"

#include <boost/asio/post.hpp>
#include <fmt/format.h>

#include <algorithm>
#include <limits>
#include <utility>

#include "base/clock.hpp"
#include "core/app_logger.hpp"
#include "core/main_run_loop.hpp"
#include "core/metrics_store.hpp"
#include "media/actor_access.hpp"
#include "media/blocking_call.hpp"
#include "media/encode_pacing.hpp"
#include "media/media_activity_log.hpp"
#include "platform/audio/system_audio_capture.hpp"
#include "platform/capture/capture_error.hpp"
#include "platform/capture/capture_stream.hpp"
#include "platform/capture/output_size.hpp"
#include "platform/x11/x11_display.hpp"

namespace veltrano {
namespace {

using SteadyClock = std::chrono::steady_clock;

int clampToInt(std::int64_t value) {
  return static_cast<int>(std::clamp<std::int64_t>(value, 0, std::numeric_limits<int>::max()));
}

std::int64_t microsOf(SteadyClock::time_point at) {
  return std::chrono::duration_cast<std::chrono::microseconds>(at.time_since_epoch()).count();
}

double secondsOf(SteadyClock::time_point at) { return std::chrono::duration<double>(at.time_since_epoch()).count(); }

// The RandR monitors, or nullopt when no X server answers. Blocking.
std::optional<std::vector<platform::X11Monitor>> listMonitors(const std::string& xDisplayName) {
  auto display = platform::X11Display::open(xDisplayName.empty() ? nullptr : xDisplayName.c_str());
  if (!display) return std::nullopt;
  return display->monitors();
}

// Joins the sound capture first, then the screen stream. Blocks: runs on the blocking pool only.
void stopStreams(const std::shared_ptr<platform::CaptureStream>& stream,
                 const std::shared_ptr<platform::SystemAudioCapture>& sound) {
  if (sound) sound->stop();
  if (stream) stream->stop();
}

// Stops what a stream left behind on the blocking pool, so that the executor never waits for a capture thread.
void stopInBackground(std::shared_ptr<platform::CaptureStream> stream,
                      std::shared_ptr<platform::SystemAudioCapture> sound) {
  if (!stream && !sound) return;
  boost::asio::post(mediaBlockingExecutor(),
                    [stream = std::move(stream), sound = std::move(sound)] { stopStreams(stream, sound); });
}

// Stops both on the blocking pool and resumes the caller once they are joined; rethrows what stopping threw.
asio::awaitable<void> stopStreamsAndWait(std::shared_ptr<platform::CaptureStream> stream,
                                         std::shared_ptr<platform::SystemAudioCapture> sound) {
  auto stopping = callBlocking([stream = std::move(stream), sound = std::move(sound)] { stopStreams(stream, sound); });
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
    : capturesAudio(withSound),
      encoder(encoderService),
      videoServer(videoSink),
      audioServer(audioSink),
      strand_(makeActorStrand()),
      metrics_(metrics),
      environment_(std::move(environment)) {}

ScreenCaptureService::~ScreenCaptureService() {
  heartbeatTask_.cancel();
  stopInBackground(std::move(stream_), std::move(sound_));
}

// --- Operations ---

asio::awaitable<std::vector<DisplayInfo>> ScreenCaptureService::availableDisplays() {
  auto listing = callBlocking([xName = environment_.xDisplayName] { return listMonitors(xName); });
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
  co_await runOn(strand_, startCaptureOnExecutor(displayID));
}

asio::awaitable<void> ScreenCaptureService::stopCapture() { co_await runOn(strand_, stopCaptureOnExecutor()); }

asio::awaitable<void> ScreenCaptureService::applyMediaProfile(std::int64_t maxWidth, std::int64_t maxHeight,
                                                              std::int64_t audioSampleRate,
                                                              std::int64_t audioChannels) {
  co_await runOn(strand_, applyMediaProfileOnExecutor(maxWidth, maxHeight, audioSampleRate, audioChannels));
}

asio::awaitable<void> ScreenCaptureService::startCaptureOnExecutor(std::optional<std::uint32_t> displayID) {
  auto keep = shared_from_this();
  auto turn = co_await operationMutex_.lock();
  co_await startStream(displayID);
}

asio::awaitable<void> ScreenCaptureService::stopCaptureOnExecutor() {
  auto keep = shared_from_this();
  auto turn = co_await operationMutex_.lock();
  co_await stopStream();
}

asio::awaitable<void> ScreenCaptureService::applyMediaProfileOnExecutor(std::int64_t maxWidth, std::int64_t maxHeight,
                                                                        std::int64_t audioSampleRate,
                                                                        std::int64_t audioChannels) {
  auto keep = shared_from_this();
  auto turn = co_await operationMutex_.lock();
  const std::int64_t width = std::max<std::int64_t>(maxWidth, 0);
  const std::int64_t height = std::max<std::int64_t>(maxHeight, 0);
  std::int64_t sampleRate = requestedAudioSampleRate;
  std::int64_t channels = requestedAudioChannelCount;
  if (capturesAudio) {
    sampleRate = std::max(audioSampleRate, minimumAudioSampleRate);
    channels = audioChannels > 1 ? 2 : 1;
  }
  if (width == maximumOutputWidth && height == maximumOutputHeight && sampleRate == requestedAudioSampleRate &&
      channels == requestedAudioChannelCount) {
    co_return;
  }
  maximumOutputWidth = width;
  maximumOutputHeight = height;
  requestedAudioSampleRate = sampleRate;
  requestedAudioChannelCount = channels;
  if (!stream_ || currentDisplayID == 0) co_return;

  const std::uint32_t display = currentDisplayID;
  co_await stopStream();
  if (auto session = encoder.lock()) co_await session->stopSession();
  co_await startStream(display);
  if (auto session = encoder.lock()) {
    auto forcing = onActor(std::move(session), [](VideoEncoderService& e) { e.forceKeyframe = true; });
    co_await std::move(forcing);
  }
}

void ScreenCaptureService::resetState(bool cancelHeartbeat) {
  if (cancelHeartbeat && heartbeatTask_) {
    heartbeatTask_.cancel();
    heartbeatTask_ = {};
  }
  stopInBackground(std::move(stream_), std::move(sound_));
  stream_.reset();
  sound_.reset();
  liveness_.reset();
  lastFrame_.reset();
  lastEncodeAt_.reset();
  lastProbeAt_.reset();
  lastEncodedPts_ = 0;
  nextEncodePTSSeconds.reset();
  audioFormat_.reset();
  pendingStreamFailure_.reset();
  soundFailedWhileStarting_ = false;
  framesInFpsWindow_ = 0;
  currentDisplayID = 0;
  currentWidth = 0;
  currentHeight = 0;
  currentDisplayFrame = {};
}

// --- Start and stop ---

asio::awaitable<void> ScreenCaptureService::startStream(std::optional<std::uint32_t> displayID) {
  if (stream_) co_await stopStream();

  const std::string xName = environment_.xDisplayName;
  auto listing = callBlocking([xName] { return listMonitors(xName); });
  const auto monitors = co_await std::move(listing);
  if (!monitors) throw ScreenCaptureError::streamFailed("Cannot connect to the X server");
  if (monitors->empty()) throw ScreenCaptureError::noDisplay();
  std::optional<platform::X11Monitor> monitor;
  if (displayID) {
    for (const auto& candidate : *monitors) {
      if (candidate.id == *displayID) monitor = candidate;
    }
    if (!monitor) throw ScreenCaptureError::displayNotFound(*displayID);
  } else {
    monitor = platform::X11Display::mainMonitor(*monitors);
    if (!monitor) throw ScreenCaptureError::noDisplay();
  }

  const int maxWidth = clampToInt(maximumOutputWidth);
  const int maxHeight = clampToInt(maximumOutputHeight);
  const platform::PixelSize size =
      platform::cappedOutputSize(monitor->bounds.width, monitor->bounds.height, maxWidth, maxHeight);
  if (auto session = encoder.lock()) {
    try {
      co_await session->startSession(size.width, size.height);
    } catch (const VideoEncoderError& e) {
      throw ScreenCaptureError::encoderFailed(e.what());
    }
  }

  // From here on, callbacks of the new stream carry this generation.
  const std::uint64_t generation = ++generation_;
  pendingStreamFailure_.reset();
  soundFailedWhileStarting_ = false;
  auto sound = co_await startSound(generation);

  platform::CaptureStreamSettings settings;
  settings.displayID = monitor->id;
  settings.framesPerSecond = grabRate();
  settings.maxOutputWidth = maxWidth;
  settings.maxOutputHeight = maxHeight;
  settings.showsCursor = true;
  settings.xDisplayName = xName;
  auto liveness = std::make_shared<CaptureLiveness>(SteadyClock::now());
  std::weak_ptr<ScreenCaptureService> weak = weak_from_this();
  const Strand strand = strand_;
  platform::CaptureStream::FrameHandler onFrame = [weak, strand, generation,
                                                   liveness](std::shared_ptr<const platform::CapturedFrame> frame) {
    liveness->stamp(frame->timestamp);
    boost::asio::post(strand, [weak, generation, frame = std::move(frame)]() mutable {
      if (auto self = weak.lock()) self->handleFrame(generation, std::move(frame));
    });
  };
  platform::CaptureStream::StopHandler onStop = [weak, strand, generation](const std::string& message) {
    boost::asio::post(strand, [weak, generation, message] {
      if (auto self = weak.lock()) self->failStream(generation, message);
    });
  };
  std::shared_ptr<platform::CaptureStream> stream;
  try {
    auto starting = callBlocking([settings, onFrame, onStop] {
      return std::shared_ptr<platform::CaptureStream>(platform::CaptureStream::start(settings, onFrame, onStop));
    });
    stream = co_await std::move(starting);
  } catch (const platform::CaptureError& e) {
    stopInBackground(nullptr, std::move(sound));
    resetState(true);
    throw ScreenCaptureError::streamFailed(e.what());
  }
  if (generation != generation_ || pendingStreamFailure_) {
    // The stream ended before it was installed (or a stop overtook the start).
    const std::string reason = pendingStreamFailure_.value_or("the capture was stopped while starting");
    stopInBackground(std::move(stream), std::move(sound));
    if (generation == generation_) resetState(true);
    throw ScreenCaptureError::streamFailed(reason);
  }

  const platform::PixelSize delivered = stream->outputSize();
  if (delivered != size) {
    // The display changed between the listing and the start.
    if (auto session = encoder.lock()) {
      try {
        co_await session->startSession(delivered.width, delivered.height);
      } catch (const VideoEncoderError& e) {
        stopInBackground(std::move(stream), std::move(sound));
        resetState(true);
        throw ScreenCaptureError::encoderFailed(e.what());
      }
    }
  }
  if (generation != generation_) {
    stopInBackground(std::move(stream), std::move(sound));
    throw ScreenCaptureError::streamFailed("the capture was stopped while starting");
  }

  const auto now = SteadyClock::now();
  stream_ = std::move(stream);
  if (soundFailedWhileStarting_) {
    stopInBackground(nullptr, std::move(sound));
  } else {
    sound_ = std::move(sound);
  }
  liveness_ = std::move(liveness);
  streamStartedAt_ = now;
  nextLivenessCheckAt_ = now + livenessCheckInterval;
  fpsWindowStart_ = now;
  const platform::X11Monitor& shown = stream_->display();
  currentDisplayID = shown.id;
  currentWidth = delivered.width;
  currentHeight = delivered.height;
  currentDisplayFrame = {static_cast<double>(shown.bounds.x), static_cast<double>(shown.bounds.y),
                         static_cast<double>(shown.bounds.width), static_cast<double>(shown.bounds.height)};
  if (heartbeatTask_) heartbeatTask_.cancel();
  heartbeatTask_ = Task::spawn(strand_, [weak, generation](TaskToken token) -> asio::awaitable<void> {
    auto beating = heartbeat(weak, generation, std::move(token));
    co_await std::move(beating);
  });
  logMediaActivity(metrics_, LogCategory::CAPTURE,
                   fmt::format("Captura iniciada display={} {}x{}", currentDisplayID, currentWidth, currentHeight));
}

asio::awaitable<void> ScreenCaptureService::stopStream() {
  ++generation_;
  auto stream = std::move(stream_);
  auto sound = std::move(sound_);
  resetState(true);
  if (!stream) {
    stopInBackground(nullptr, std::move(sound));
    co_return;
  }
  try {
    auto stopping = stopStreamsAndWait(stream, sound);
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
  const std::uint32_t displayID = currentDisplayID;
  ++generation_;
  auto stream = std::move(stream_);
  auto sound = std::move(sound_);
  resetState(true);
  logMediaActivity(metrics_, LogCategory::Error, fmt::format("Capture stream stopped display={}: {}", displayID, message));
  Task::spawn(strand_, [self = shared_from_this(), stream, sound, failure = ScreenCaptureFailure(displayID, message)](
                           TaskToken) -> asio::awaitable<void> {
    auto report = reportFailure(self, stream, sound, failure);
    co_await std::move(report);
  });
}

asio::awaitable<void> ScreenCaptureService::reportFailure(std::shared_ptr<ScreenCaptureService> self,
                                                          std::shared_ptr<platform::CaptureStream> stream,
                                                          std::shared_ptr<platform::SystemAudioCapture> sound,
                                                          ScreenCaptureFailure failure) {
  try {
    auto stopping = stopStreamsAndWait(stream, sound);
    co_await std::move(stopping);
  } catch (const std::exception& e) {
    log(LogCategory::Error, std::string("stopCapture failed: ") + e.what());
  }
  // Read now: the host clears the handler before it stops the capture itself.
  auto handler = self->unexpectedStopHandler;
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
  if (generation != generation_) return;
  followDesiredRate();
  lastFrame_ = frame;
  performOnMainRunLoop([metrics = metrics_] {
    if (auto store = metrics.lock()) store->capturedFrames.set(store->capturedFrames.get() + 1);
  });
  if (!hasViewers()) return;
  if (!admitFrameForEncoding(secondsOf(frame->timestamp), desiredEncodeFps, nextEncodePTSSeconds)) return;
  sendToEncoder(frame, microsOf(frame->timestamp));
}

int ScreenCaptureService::grabRate() const { return std::clamp<int>(desiredEncodeFps, 1, grabFramesPerSecond); }

// The host may change desiredEncodeFps while the stream runs.
void ScreenCaptureService::followDesiredRate() {
  if (stream_ && stream_->framesPerSecond() != grabRate()) stream_->setFramesPerSecond(grabRate());
}

bool ScreenCaptureService::hasViewers() const {
  auto sink = videoServer.lock();
  return sink && sink->hasViewers();
}

void ScreenCaptureService::sendToEncoder(const std::shared_ptr<const platform::CapturedFrame>& frame,
                                         std::int64_t ptsMicros) {
  auto session = encoder.lock();
  if (!session) return;
  const std::int64_t pts = std::max(ptsMicros, lastEncodedPts_ + 1);
  lastEncodedPts_ = pts;
  session->encode(frame, pts);
  lastEncodeAt_ = SteadyClock::now();
  ++framesInFpsWindow_;
  performOnMainRunLoop([metrics = metrics_, description = fmt::format("{}x{} I420 display={}", frame->width,
                                                                      frame->height, currentDisplayID)] {
    if (auto store = metrics.lock()) store->lastFrameDescription.set(description);
  });
}

void ScreenCaptureService::publishFps(SteadyClock::time_point now) {
  const auto elapsed = now - fpsWindowStart_;
  if (elapsed < std::chrono::seconds(1)) return;
  const double fps = static_cast<double>(framesInFpsWindow_) / std::chrono::duration<double>(elapsed).count();
  fpsWindowStart_ = now;
  framesInFpsWindow_ = 0;
  // Displays nobody watches leave the figure to the one that is watched.
  if (fps == 0 && publishedFps_ == 0) return;
  publishedFps_ = fps;
  performOnMainRunLoop([metrics = metrics_, fps] {
    if (auto store = metrics.lock()) store->fps.set(fps);
  });
}

// --- Heartbeat and watchdog ---

asio::awaitable<void> ScreenCaptureService::heartbeat(std::weak_ptr<ScreenCaptureService> weak,
                                                      std::uint64_t generation, TaskToken token) {
  auto wake = SteadyClock::now() + idleTick;
  for (;;) {
    co_await systemClock().sleepUntil(token, wake);
    auto self = weak.lock();
    if (!self || token->isCancelled() || self->generation_ != generation || !self->stream_) co_return;
    wake = self->heartbeatTick(SteadyClock::now());
  }
}

SteadyClock::time_point ScreenCaptureService::heartbeatTick(SteadyClock::time_point now) {
  if (now >= nextLivenessCheckAt_) {
    nextLivenessCheckAt_ = now + livenessCheckInterval;
    const auto quietFor = now - liveness_->lastFrameAt();
    if (quietFor >= livenessTimeout) {
      const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(quietFor).count();
      failStream(generation_, fmt::format("Capture stalled: no frame for {} s", seconds));
      return now + idleTick;
    }
    if (quietFor >= livenessProbeAfter && (!lastProbeAt_ || now - *lastProbeAt_ >= livenessProbeAfter)) {
      stream_->requestFrame();
      lastProbeAt_ = now;
    }
  }
  followDesiredRate();
  auto due = lastEncodeAt_.value_or(streamStartedAt_) + heartbeatInterval;
  if (now >= due && lastFrame_ && hasViewers() && !encoder.expired()) {
    sendToEncoder(lastFrame_, microsOf(now));
    due = now + heartbeatInterval;
  }
  publishFps(now);
  const auto next = due > now ? due : now + idleTick;
  return std::min(next, nextLivenessCheckAt_);
}

// --- Sound ---

asio::awaitable<std::shared_ptr<platform::SystemAudioCapture>> ScreenCaptureService::startSound(
    std::uint64_t generation) {
  if (!capturesAudio || audioServer.expired()) co_return nullptr;
  platform::AudioCaptureSettings settings;
  settings.sampleRate = clampToInt(requestedAudioSampleRate);
  settings.channels = clampToInt(requestedAudioChannelCount);
  settings.server = environment_.soundServerName;
  std::weak_ptr<ScreenCaptureService> weak = weak_from_this();
  const Strand strand = strand_;
  platform::SystemAudioCapture::PacketHandler onPacket = [weak, strand, generation](platform::AudioPacket packet) {
    boost::asio::post(strand, [weak, generation, packet = std::move(packet)]() mutable {
      if (auto self = weak.lock()) self->handleSoundPacket(generation, std::move(packet));
    });
  };
  platform::SystemAudioCapture::StopHandler onStop = [weak, strand, generation](const std::string& message) {
    boost::asio::post(strand, [weak, generation, message] {
      if (auto self = weak.lock()) self->handleSoundStopped(generation, message);
    });
  };
  try {
    auto starting = callBlocking([settings, onPacket, onStop] {
      return std::shared_ptr<platform::SystemAudioCapture>(
          platform::SystemAudioCapture::start(settings, onPacket, onStop));
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
  auto sink = audioServer.lock();
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
  stopInBackground(nullptr, std::move(sound_));
  sound_.reset();
  audioFormat_.reset();
}

}  // namespace veltrano
