#pragma once
// What the capture and encoder tests share: a video server stand-in that records the encoded frames and says
// whether it has viewers, an audio server stand-in, a way to await the actors' operations while the test's main
// loop runs, and the ffmpeg decode of recorded frames.
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/use_future.hpp>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <future>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <vector>

#include "base/executors.hpp"
#include "media/audio_packet.hpp"
#include "media/encoded_video_frame.hpp"
#include "platform/h264/ffmpeg_decoder.hpp"

namespace veltrano::test {

// Runs `operation` on the shared I/O context and pumps the test's main loop until it is done.
template <class T>
T awaitOn(MainLoopForTests& loop, boost::asio::awaitable<T> operation,
          std::chrono::milliseconds timeout = std::chrono::seconds(20)) {
  auto future = boost::asio::co_spawn(sharedIo().executor(), std::move(operation), boost::asio::use_future);
  const bool done = loop.runUntil(
      [&] { return future.wait_for(std::chrono::seconds(0)) == std::future_status::ready; }, timeout);
  if (!done) throw std::runtime_error("operation timed out");
  return future.get();
}

struct ReceivedFrame {
  EncodedVideoFrame frame;
  std::chrono::steady_clock::time_point at;
};

class RecordingVideoSink final : public EncodedVideoFrameSink {
 public:
  explicit RecordingVideoSink(bool viewers = true) : viewers_(viewers) {}

  void submitEncodedFrame(EncodedVideoFrame frame) override {
    std::lock_guard lock(mutex_);
    frames_.push_back({std::move(frame), std::chrono::steady_clock::now()});
    changed_.notify_all();
  }
  bool hasViewers() const override { return viewers_.load(); }

  void setViewers(bool viewers) { viewers_ = viewers; }
  std::size_t count() {
    std::lock_guard lock(mutex_);
    return frames_.size();
  }
  std::vector<ReceivedFrame> frames() {
    std::lock_guard lock(mutex_);
    return frames_;
  }
  // Waits until at least `n` frames have arrived.
  bool waitFor(std::size_t n, std::chrono::milliseconds timeout = std::chrono::seconds(5)) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return frames_.size() >= n; });
  }
  void clear() {
    std::lock_guard lock(mutex_);
    frames_.clear();
  }

 private:
  std::atomic<bool> viewers_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<ReceivedFrame> frames_;
};

class RecordingAudioSink final : public AudioPacketSink {
 public:
  struct Event {
    bool isConfiguration = false;
    AudioFormat format;
    AudioPacket packet;
  };

  void submitAudioConfiguration(AudioFormat format) override {
    std::lock_guard lock(mutex_);
    events_.push_back({true, format, {}});
    changed_.notify_all();
  }
  void submitAudioPacket(AudioPacket packet) override {
    std::lock_guard lock(mutex_);
    events_.push_back({false, packet.format, std::move(packet)});
    changed_.notify_all();
  }
  std::vector<Event> events() {
    std::lock_guard lock(mutex_);
    return events_;
  }
  bool waitFor(std::size_t n, std::chrono::milliseconds timeout = std::chrono::seconds(5)) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return events_.size() >= n; });
  }
  void clear() {
    std::lock_guard lock(mutex_);
    events_.clear();
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<Event> events_;
};

// Decodes frames as a client would: the parameter sets of each keyframe ahead of it. Starts at the first
// keyframe.
inline std::optional<DecodedVideo> decodeFrames(const std::vector<ReceivedFrame>& frames, int width, int height) {
  std::vector<platform::EncodedAccessUnit> units;
  for (const auto& received : frames) {
    if (units.empty() && !received.frame.keyframe) continue;
    platform::EncodedAccessUnit unit;
    unit.data = received.frame.accessUnit;
    unit.keyframe = received.frame.keyframe;
    unit.ptsMicros = static_cast<std::int64_t>(received.frame.presentationTimeMicros);
    if (received.frame.parameterSets) {
      auto sets = std::make_shared<platform::H264ParameterSets>();
      sets->width = static_cast<int>(received.frame.parameterSets->codedWidth);
      sets->height = static_cast<int>(received.frame.parameterSets->codedHeight);
      sets->sps = received.frame.parameterSets->sps;
      sets->pps = received.frame.parameterSets->pps;
      unit.parameterSets = std::move(sets);
    }
    units.push_back(std::move(unit));
  }
  return decodeWithFfmpeg(toAnnexB(units), width, height);
}

}  // namespace veltrano::test
