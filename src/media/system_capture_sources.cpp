#include <utility>

#include "media/background_release.hpp"
#include "media/capture_sources.hpp"
#include "platform/x11/x11_display.hpp"

namespace veltrano {
namespace {

class SystemVideoSource final : public VideoSource {
 public:
  explicit SystemVideoSource(std::unique_ptr<platform::CaptureStream> stream) : stream_(std::move(stream)) {}
  void stop() override { stream_->stop(); }
  void requestFrame() override { stream_->requestFrame(); }
  void setFramesPerSecond(int framesPerSecond) override { stream_->setFramesPerSecond(framesPerSecond); }
  int framesPerSecond() const override { return stream_->framesPerSecond(); }
  platform::X11Monitor display() const override { return stream_->display(); }
  platform::PixelSize outputSize() const override { return stream_->outputSize(); }

 private:
  const std::unique_ptr<platform::CaptureStream> stream_;
};

class SystemSoundSource final : public SoundSource {
 public:
  explicit SystemSoundSource(std::unique_ptr<platform::SystemAudioCapture> capture) : capture_(std::move(capture)) {}
  void stop() override { capture_->stop(); }
  int framesPerPacket() const override { return capture_->framesPerPacket(); }

 private:
  const std::unique_ptr<platform::SystemAudioCapture> capture_;
};

class SystemCaptureSources final : public CaptureSources {
 public:
  std::optional<std::vector<platform::X11Monitor>> displays(const std::string& xDisplayName) override {
    auto display = platform::X11Display::open(xDisplayName.empty() ? nullptr : xDisplayName.c_str());
    if (!display) return std::nullopt;
    return display->monitors();
  }

  std::shared_ptr<VideoSource> startVideo(const platform::CaptureStreamSettings& settings,
                                          VideoSource::FrameHandler onFrame, VideoSource::StopHandler onStop) override {
    auto stream = platform::CaptureStream::start(settings, std::move(onFrame), std::move(onStop));
    return releasedInBackground<VideoSource>(std::make_unique<SystemVideoSource>(std::move(stream)));
  }

  std::shared_ptr<SoundSource> startSound(const platform::AudioCaptureSettings& settings,
                                          SoundSource::PacketHandler onPacket, SoundSource::StopHandler onStop) override {
    auto capture = platform::SystemAudioCapture::start(settings, std::move(onPacket), std::move(onStop));
    return releasedInBackground<SoundSource>(std::make_unique<SystemSoundSource>(std::move(capture)));
  }
};

}  // namespace

std::shared_ptr<CaptureSources> systemCaptureSources() {
  static const auto sources = std::make_shared<SystemCaptureSources>();
  return sources;
}

}  // namespace veltrano
