#pragma once
// What the capture service needs of the platform: the list of displays, a running picture stream of one display
// and a running sound recording, reached through a factory the service is given (systemCaptureSources() by
// default; tests give fakes). Starting, listing and stopping block: the service calls them on its blocking pool
// only. The handlers run on the source's own thread and must return quickly.
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/audio/system_audio_capture.hpp"
#include "platform/capture/capture_stream.hpp"

namespace veltrano {

class VideoSource {
 public:
  using FrameHandler = platform::CaptureStream::FrameHandler;
  // Called at most once, never after stop().
  using StopHandler = std::function<void(const std::string& message)>;

  virtual ~VideoSource() = default;  // stops
  // Ends the capture and waits for its thread. Idempotent.
  virtual void stop() = 0;
  // Grab and deliver soon even if nothing changed.
  virtual void requestFrame() = 0;
  virtual void setFramesPerSecond(int framesPerSecond) = 0;
  virtual int framesPerSecond() const = 0;
  virtual platform::X11Monitor display() const = 0;      // as found at start
  virtual platform::PixelSize outputSize() const = 0;  // of every delivered frame
};

class SoundSource {
 public:
  using PacketHandler = platform::SystemAudioCapture::PacketHandler;
  using StopHandler = VideoSource::StopHandler;

  virtual ~SoundSource() = default;  // stops
  // Ends the recording and its thread. Idempotent; no handler runs once it returns.
  virtual void stop() = 0;
  virtual int framesPerPacket() const = 0;
};

class CaptureSources {
 public:
  virtual ~CaptureSources() = default;
  // The displays (RandR monitors), or nullopt when no X server answers.
  virtual std::optional<std::vector<platform::X11Monitor>> displays(const std::string& xDisplayName) = 0;
  // Throws platform::CaptureError with a readable message. The source is destroyed in the background.
  virtual std::shared_ptr<VideoSource> startVideo(const platform::CaptureStreamSettings& settings,
                                                  VideoSource::FrameHandler onFrame,
                                                  VideoSource::StopHandler onStop) = 0;
  // Throws platform::AudioCaptureError with a readable reason. The source is destroyed in the background.
  virtual std::shared_ptr<SoundSource> startSound(const platform::AudioCaptureSettings& settings,
                                                  SoundSource::PacketHandler onPacket,
                                                  SoundSource::StopHandler onStop) = 0;
};

// The X server and PulseAudio.
std::shared_ptr<CaptureSources> systemCaptureSources();

}  // namespace veltrano
