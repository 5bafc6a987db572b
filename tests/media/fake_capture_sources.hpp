#pragma once
// Capture sources that stand in for the X server and PulseAudio: two displays, streams and sound recordings that
// deliver what the test hands them (stamped on the test's clock), fail when told, and starts that fail or hang.
#include <algorithm>
#include <atomic>
#include <future>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "base/clock.hpp"
#include "capture_test_support.hpp"
#include "media/capture_sources.hpp"
#include "platform/capture/capture_error.hpp"
#include "platform/capture/output_size.hpp"

namespace veltrano::test {

class FakeVideoSource final : public VideoSource {
 public:
  FakeVideoSource(Clock& clock, platform::X11Monitor display, platform::PixelSize size, FrameHandler onFrame,
                  StopHandler onStop, int framesPerSecond, bool answersRequests)
      : clock_(clock), display_(std::move(display)), size_(size), onFrame_(std::move(onFrame)),
        onStop_(std::move(onStop)), framesPerSecond_(framesPerSecond), answersRequests_(answersRequests) {}

  void stop() override { stopped = true; }
  void requestFrame() override {
    ++frameRequests;
    if (answersRequests_) deliverFrame(clock_.now());
  }
  void setFramesPerSecond(int framesPerSecond) override { framesPerSecond_ = framesPerSecond; }
  int framesPerSecond() const override { return framesPerSecond_; }
  platform::X11Monitor display() const override { return display_; }
  platform::PixelSize outputSize() const override { return size_; }

  // The test's side.
  void deliverFrame(Clock::TimePoint at) {
    if (!stopped) onFrame_(solidFrame(size_.width, size_.height, 90, 120, 200, at));
  }
  void fail(const std::string& message) {
    if (!stopped) onStop_(message);
  }
  void answerRequests(bool answers) { answersRequests_ = answers; }

  std::atomic<bool> stopped{false};
  std::atomic<int> frameRequests{0};

 private:
  Clock& clock_;
  const platform::X11Monitor display_;
  const platform::PixelSize size_;
  const FrameHandler onFrame_;
  const StopHandler onStop_;
  std::atomic<int> framesPerSecond_;
  std::atomic<bool> answersRequests_;
};

class FakeSoundSource final : public SoundSource {
 public:
  FakeSoundSource(platform::AudioCaptureSettings settings, PacketHandler onPacket, StopHandler onStop)
      : settings(std::move(settings)), onPacket_(std::move(onPacket)), onStop_(std::move(onStop)) {}

  void stop() override { stopped = true; }
  int framesPerPacket() const override { return settings.sampleRate / 50; }

  // The test's side: one packet of `value` in every sample.
  void deliverPacket(std::int16_t value, Clock::TimePoint at) {
    if (stopped) return;
    platform::AudioPacket packet;
    packet.sampleRate = settings.sampleRate;
    packet.channels = settings.channels;
    packet.frames = framesPerPacket();
    packet.samples.assign(static_cast<std::size_t>(packet.frames * packet.channels), value);
    packet.timestamp = at;
    onPacket_(std::move(packet));
  }
  void fail(const std::string& message) {
    if (!stopped) onStop_(message);
  }

  const platform::AudioCaptureSettings settings;
  std::atomic<bool> stopped{false};

 private:
  const PacketHandler onPacket_;
  const StopHandler onStop_;
};

class FakeCaptureSources final : public CaptureSources {
 public:
  static constexpr std::uint32_t leftID = 101;
  static constexpr std::uint32_t rightID = 102;
  enum class Hang { none, listing, videoStart };

  explicit FakeCaptureSources(Clock& clock) : clock_(clock) {}

  // Set before a start. nullopt: no X server.
  std::optional<std::vector<platform::X11Monitor>> monitors = std::vector<platform::X11Monitor>{
      {leftID, "VL-LEFT", {0, 0, 96, 64}, false}, {rightID, "VL-RIGHT", {96, 0, 64, 48}, false}};
  std::optional<std::string> videoStartError;
  std::optional<std::string> soundStartError;
  std::optional<std::string> streamFailsWhileStarting;  // the new stream's stop handler runs before start returns
  bool answersFrameRequests = true;
  // What was started, in order.
  testing::RecordedValues<platform::CaptureStreamSettings> videoStarts;
  testing::RecordedValues<std::shared_ptr<FakeVideoSource>> videos;
  testing::RecordedValues<std::shared_ptr<FakeSoundSource>> sounds;

  std::shared_ptr<FakeVideoSource> video() { return last(videos); }
  std::shared_ptr<FakeSoundSource> sound() { return last(sounds); }

  // Makes the next calls of `which` hang until release() (an X server that stopped answering).
  void hang(Hang which) {
    hang_ = which;
    opened_ = gate_.get_future().share();
  }
  void release() {
    hang_ = Hang::none;
    gate_.set_value();
  }
  int hanging() const { return hanging_; }

  std::optional<std::vector<platform::X11Monitor>> displays(const std::string&) override {
    waitIfHanging(Hang::listing);
    return monitors;
  }

  std::shared_ptr<VideoSource> startVideo(const platform::CaptureStreamSettings& settings,
                                          VideoSource::FrameHandler onFrame, VideoSource::StopHandler onStop) override {
    waitIfHanging(Hang::videoStart);
    if (videoStartError) throw platform::CaptureError(*videoStartError);
    const auto display = *std::find_if(monitors->begin(), monitors->end(),
                                       [&](const platform::X11Monitor& m) { return m.id == settings.displayID; });
    const auto size = platform::cappedOutputSize(display.bounds.width, display.bounds.height, settings.maxOutputWidth,
                                                 settings.maxOutputHeight);
    auto source = std::make_shared<FakeVideoSource>(clock_, display, size, std::move(onFrame), std::move(onStop),
                                                    settings.framesPerSecond, answersFrameRequests);
    if (streamFailsWhileStarting) source->fail(*streamFailsWhileStarting);
    videoStarts.add(settings);
    videos.add(source);
    return stoppedWhenDropped<VideoSource>(source);
  }

  std::shared_ptr<SoundSource> startSound(const platform::AudioCaptureSettings& settings,
                                          SoundSource::PacketHandler onPacket,
                                          SoundSource::StopHandler onStop) override {
    if (soundStartError) throw platform::AudioCaptureError(*soundStartError);
    auto source = std::make_shared<FakeSoundSource>(settings, std::move(onPacket), std::move(onStop));
    sounds.add(source);
    return stoppedWhenDropped<SoundSource>(source);
  }

 private:
  template <class T>
  static std::shared_ptr<T> last(testing::RecordedValues<std::shared_ptr<T>>& started) {
    const auto all = started.values();
    return all.empty() ? nullptr : all.back();
  }
  // What the service holds: stops the source when its last reference goes, as the real sources do.
  template <class Interface, class Fake>
  static std::shared_ptr<Interface> stoppedWhenDropped(const std::shared_ptr<Fake>& source) {
    return std::shared_ptr<Interface>(source.get(), [source](Interface*) { source->stop(); });
  }
  void waitIfHanging(Hang call) {
    if (hang_ != call) return;
    ++hanging_;
    opened_.wait();
    --hanging_;
  }

  Clock& clock_;
  std::atomic<Hang> hang_{Hang::none};
  std::promise<void> gate_;
  std::shared_future<void> opened_;  // set in hang(), before the calls that wait on it
  std::atomic<int> hanging_{0};
};

}  // namespace veltrano::test
