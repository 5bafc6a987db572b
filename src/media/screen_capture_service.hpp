#pragma once
// ScreenCaptureService: the capture of one display, an actor. It runs a capture stream of the display on a
// thread of its own, paces the frames to desiredEncodeFps and hands them to the display's encoder while the
// video server has a viewer, re-sends the last frame when nothing was encoded for 0.85 s, watches that the
// stream stays alive, and, for the one service that captures sound, records the system sound for the audio
// server. A stream that stops by itself (display removed, X server gone, capture stalled) ends in one call of
// unexpectedStopHandler.
//
// Threads: fields marked "executor" change on executor() only (use onActor from outside). Frames arrive on the
// capture thread ("video output queue") and sound on the sound client's thread; both hop onto the executor
// carrying the stream generation of the start that installed them, so callbacks of an older stream are harmless.
// Start, stop and media-profile restarts never interleave. The displays, the stream and the sound come from the
// environment's CaptureSources, and every time from its clock (tests give fakes and a virtual clock).
#include <boost/asio/awaitable.hpp>

#include <chrono>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "base/actor.hpp"
#include "base/clock.hpp"
#include "base/executors.hpp"
#include "base/task.hpp"
#include "core/display_info.hpp"
#include "media/audio_packet.hpp"
#include "media/capture_schedule.hpp"
#include "media/capture_sources.hpp"
#include "media/display_frame.hpp"
#include "media/encoded_video_frame.hpp"
#include "media/media_metrics_update.hpp"
#include "media/screen_capture_errors.hpp"
#include "media/video_encoder_service.hpp"
#include "platform/capture/captured_frame.hpp"

namespace veltrano {

class MetricsStore;

// Where the service finds its servers (tests point them at private ones or at fakes).
struct ScreenCaptureEnvironment {
  ScreenCaptureEnvironment(std::string xDisplay = {}, std::string soundServer = {},
                           std::shared_ptr<CaptureSources> captureSources = nullptr, Clock* serviceClock = nullptr)
      : xDisplayName(std::move(xDisplay)),
        soundServerName(std::move(soundServer)),
        sources(std::move(captureSources)),
        clock(serviceClock) {}

  std::string xDisplayName;                 // empty: $DISPLAY
  std::string soundServerName;              // empty: the default PulseAudio server
  std::shared_ptr<CaptureSources> sources;  // null: systemCaptureSources()
  Clock* clock;                             // null: systemClock(); must outlive the service
};

class ScreenCaptureService : public std::enable_shared_from_this<ScreenCaptureService> {
 public:
  using Duration = Clock::Duration;
  static constexpr std::int32_t defaultEncodeFps = 45;
  // The grab rate follows desiredEncodeFps up to this ceiling (the host's frame rates go up to 60), so that no grab
  // is taken only for pacing to drop it; pacing still keeps the encoder to the rate.
  static constexpr int grabFramesPerSecond = 60;
  // A start whose display list or stream does not come within this (an X server that stopped answering) fails.
  static constexpr Duration startTimeout = std::chrono::seconds(5);
  static constexpr std::int64_t minimumAudioSampleRate = 8000;

  using UnexpectedStopHandler = std::function<boost::asio::awaitable<void>(ScreenCaptureFailure)>;

  // The encoder, the video server and the audio server are held weakly and may be null.
  static std::shared_ptr<ScreenCaptureService> create(std::shared_ptr<MetricsStore> metrics,
                                                      std::shared_ptr<VideoEncoderService> encoder,
                                                      std::shared_ptr<EncodedVideoFrameSink> videoServer,
                                                      std::shared_ptr<AudioPacketSink> audioServer, bool capturesAudio,
                                                      ScreenCaptureEnvironment environment = {});
  ~ScreenCaptureService();
  ScreenCaptureService(const ScreenCaptureService&) = delete;
  ScreenCaptureService& operator=(const ScreenCaptureService&) = delete;

  const Strand& executor() const { return strand_; }

  // The displays (RandR monitors) with their names and sizes, videoPort 0. Throws ScreenCaptureError when no X
  // server answers.
  boost::asio::awaitable<std::vector<DisplayInfo>> availableDisplays();
  // Starts capturing the display (none: the main display) with the current size cap and audio format: the
  // encoder session, the stream, the sound (when this service captures it), the heartbeat and the watchdog. A
  // running stream is stopped first. Throws ScreenCaptureError: no display, display not found, encoder or stream
  // failed (also when the X server does not answer within startTimeout). A sound failure is logged and leaves the
  // picture running.
  boost::asio::awaitable<void> startCapture(std::optional<std::uint32_t> displayID);
  // Advances the stream generation, resets the state and, when a stream runs, stops it, waits, and logs
  // "ScreenCaptureKit stopped" (after "stopCapture failed: ..." when the stop failed). Never throws.
  boost::asio::awaitable<void> stopCapture();
  // Takes the new size cap and (for the service that captures sound) audio format; restarts a running stream
  // when anything changed. Throws what the restart's start throws.
  boost::asio::awaitable<void> applyMediaProfile(std::int64_t maxWidth, std::int64_t maxHeight,
                                                 std::int64_t audioSampleRate, std::int64_t audioChannels);
  // Executor only. Cancels the heartbeat when asked; drops the stream and the sound (stopped in the background);
  // zeroes the counters, the last frame, the schedule, the audio-format cache and the current display fields.
  void resetState(bool cancelHeartbeat);
  // Executor only. Sets desiredEncodeFps and restarts the pacing, so the new rate starts with the next frame.
  void setDesiredEncodeFps(std::int32_t framesPerSecond);

  // Read and set on executor() (through onActor from outside).
  void setUnexpectedStopHandler(UnexpectedStopHandler handler);  // awaited once when a stream stopped by itself
  std::uint32_t currentDisplayID() const;  // 0 when not capturing
  std::int64_t currentWidth() const;       // the stream's output size; 0 when not capturing
  std::int64_t currentHeight() const;
  DisplayFrame currentDisplayFrame() const;  // the display's bounds; zero when not capturing
  std::int64_t maximumOutputWidth() const;   // 0: no cap
  std::int64_t maximumOutputHeight() const;
  std::int64_t requestedAudioSampleRate() const;
  std::int64_t requestedAudioChannelCount() const;
  bool isStreaming() const { return stream_ != nullptr; }
  bool isCapturingSound() const { return sound_ != nullptr; }
  std::uint64_t streamGeneration() const { return generation_; }

 private:
  ScreenCaptureService(std::shared_ptr<MetricsStore> metrics, std::shared_ptr<VideoEncoderService> encoder,
                       std::shared_ptr<EncodedVideoFrameSink> videoServer, std::shared_ptr<AudioPacketSink> audioServer,
                       bool capturesAudio, ScreenCaptureEnvironment environment);

  // The steps of a start, without the operation lock (their callers hold it). Each throws ScreenCaptureError.
  struct StartingSources {
    std::shared_ptr<VideoSource> video;
    std::shared_ptr<SoundSource> sound;
  };
  boost::asio::awaitable<void> startStream(std::optional<std::uint32_t> displayID);
  boost::asio::awaitable<platform::X11Monitor> findDisplay(std::optional<std::uint32_t> displayID,
                                                           Clock::TimePoint deadline);
  boost::asio::awaitable<void> startEncoderSession(platform::PixelSize size);
  boost::asio::awaitable<std::shared_ptr<VideoSource>> startVideo(const platform::X11Monitor& monitor,
                                                                  std::uint64_t generation, Clock::TimePoint deadline);
  boost::asio::awaitable<std::shared_ptr<SoundSource>> startSound(std::uint64_t generation);
  // Throws `late` past the deadline.
  boost::asio::awaitable<std::optional<std::vector<platform::X11Monitor>>> listDisplays(Clock::TimePoint deadline,
                                                                                      std::exception_ptr late);
  // Throws when the start of `generation` was overtaken (a stop, or the new stream already ended).
  void checkStillStarting(std::uint64_t generation) const;
  void install(StartingSources sources, std::uint64_t generation);
  boost::asio::awaitable<void> stopStream();

  // Callbacks, on the executor.
  void handleFrame(std::uint64_t generation, std::shared_ptr<const platform::CapturedFrame> frame);
  int grabRate() const;
  void followDesiredRate();
  void handleSoundPacket(std::uint64_t generation, platform::AudioPacket packet);
  void handleSoundStopped(std::uint64_t generation, const std::string& message);
  // The stream of `generation` stopped by itself: tear it down and report it once.
  void failStream(std::uint64_t generation, const std::string& message);
  static boost::asio::awaitable<void> reportFailure(std::shared_ptr<ScreenCaptureService> self,
                                                    std::shared_ptr<VideoSource> stream,
                                                    std::shared_ptr<SoundSource> sound, ScreenCaptureFailure failure);

  // Heartbeat and watchdog of one stream generation.
  static boost::asio::awaitable<void> heartbeat(std::weak_ptr<ScreenCaptureService> weak, std::uint64_t generation,
                                                TaskToken token);
  // One step of the schedule; returns when to take the next.
  Clock::TimePoint heartbeatStep(Clock::TimePoint now);
  bool hasViewers() const;
  bool sendToEncoder(const std::shared_ptr<const platform::CapturedFrame>& frame, std::int64_t ptsMicros);
  void publishFps(Clock::TimePoint now);

  const bool capturesAudio_;
  const std::weak_ptr<VideoEncoderService> encoder_;
  const std::weak_ptr<EncodedVideoFrameSink> videoServer_;
  const std::weak_ptr<AudioPacketSink> audioServer_;
  const Strand strand_;
  const std::weak_ptr<MetricsStore> metrics_;
  const ScreenCaptureEnvironment environment_;
  const std::shared_ptr<CaptureSources> sources_;
  Clock& clock_;
  const std::shared_ptr<MediaMetricsBatch> metricsBatch_;
  AsyncMutex operationMutex_;

  // Executor state of the running stream.
  std::uint64_t generation_ = 0;
  std::shared_ptr<VideoSource> stream_;
  std::shared_ptr<SoundSource> sound_;
  std::optional<CaptureSchedule> schedule_;
  Task heartbeatTask_;
  std::shared_ptr<const platform::CapturedFrame> lastFrame_;
  std::int64_t lastEncodedPts_ = 0;
  std::optional<AudioFormat> audioFormat_;
  Clock::TimePoint fpsWindowStart_{};
  std::int64_t framesInFpsWindow_ = 0;
  double publishedFps_ = 0;
  // What the callbacks reported while a start had not yet installed its stream.
  std::optional<std::string> pendingStreamFailure_;
  bool soundFailedWhileStarting_ = false;

  // Executor state: the operations' settings and what the running stream reports.
  UnexpectedStopHandler unexpectedStopHandler_;  // awaited once when a stream stopped by itself
  std::uint32_t currentDisplayID_ = 0;           // 0 when not capturing
  std::int64_t currentWidth_ = 0;                // the stream's output size; 0 when not capturing
  std::int64_t currentHeight_ = 0;
  DisplayFrame currentDisplayFrame_;  // the display's bounds; zero when not capturing
  std::int32_t desiredEncodeFps_ = defaultEncodeFps;
  std::int64_t maximumOutputWidth_ = 0;  // 0: no cap
  std::int64_t maximumOutputHeight_ = 0;
  std::int64_t requestedAudioSampleRate_ = 48000;
  std::int64_t requestedAudioChannelCount_ = 2;
};

}  // namespace veltrano
