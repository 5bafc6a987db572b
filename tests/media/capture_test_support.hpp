#pragma once
// What the capture and encoder tests share: a video server stand-in that records the encoded frames and says
// whether it has viewers, an audio server stand-in, an encoder fixture that feeds the video stand-in and pictures of
// one colour.
#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>
#include <libyuv/convert_from_argb.h>

#include <algorithm>

#include "base/clock.hpp"
#include "base/executors.hpp"
#include "core/metrics_store.hpp"
#include "media/actor_access.hpp"
#include "media/audio_packet.hpp"
#include "media/encoded_video_frame.hpp"
#include "media/screen_capture_errors.hpp"
#include "media/video_encoder_service.hpp"
#include "support/recorded_values.hpp"
#include "support/run_blocking.hpp"

namespace veltrano::test {

using testing::awaitOn;

struct ReceivedFrame {
  EncodedVideoFrame frame;
  std::chrono::steady_clock::time_point at;
};

class RecordingVideoSink final : public EncodedVideoFrameSink {
 public:
  explicit RecordingVideoSink(bool viewers = true) : viewers_(viewers) {}

  void submitEncodedFrame(EncodedVideoFrame frame) override {
    frames_.add({std::move(frame), std::chrono::steady_clock::now()});
  }
  bool hasViewers() const override { return viewers_.load(); }

  void setViewers(bool viewers) { viewers_ = viewers; }
  std::size_t count() { return frames_.size(); }
  std::vector<ReceivedFrame> frames() { return frames_.values(); }
  // Waits until at least `n` frames have arrived.
  bool waitFor(std::size_t n, std::chrono::milliseconds timeout = std::chrono::seconds(5)) {
    return frames_.waitForCount(n, timeout);
  }
  bool waitForMatch(const std::function<bool(const ReceivedFrame&)>& matches) { return frames_.waitForMatch(matches); }
  void clear() { frames_.clear(); }

 private:
  std::atomic<bool> viewers_;
  testing::RecordedValues<ReceivedFrame> frames_;
};

class RecordingAudioSink final : public AudioPacketSink {
 public:
  struct Event {
    bool isConfiguration = false;
    AudioFormat format;
    AudioPacket packet;
  };

  void submitAudioConfiguration(AudioFormat format) override { events_.add({true, format, {}}); }
  void submitAudioPacket(AudioPacket packet) override { events_.add({false, packet.format, std::move(packet)}); }
  std::vector<Event> events() { return events_.values(); }
  bool waitFor(std::size_t n, std::chrono::milliseconds timeout = std::chrono::seconds(5)) {
    return events_.waitForCount(n, timeout);
  }
  bool waitForMatch(const std::function<bool(const Event&)>& matches,
                    std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
    return events_.waitForMatch(matches, timeout);
  }
  void clear() { events_.clear(); }

 private:
  testing::RecordedValues<Event> events_;
};

// An encoder service whose frames go to a RecordingVideoSink, with the test's main loop; the session stops at the
// end of the test.
class EncoderServiceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    metrics = std::make_shared<MetricsStore>();
    encoder = VideoEncoderService::create(metrics);
    sink = std::make_shared<RecordingVideoSink>();
    awaitOn(loop, onActor(encoder, [s = sink](VideoEncoderService& e) { e.setFrameSink(s); }));
  }
  void TearDown() override { awaitOn(loop, encoder->stopSession()); }

  MainLoopForTests loop;
  std::shared_ptr<MetricsStore> metrics;
  std::shared_ptr<VideoEncoderService> encoder;
  std::shared_ptr<RecordingVideoSink> sink;
};

// A picture of one colour, converted the capture's way, taken at `at`.
inline std::shared_ptr<const platform::CapturedFrame> solidFrame(int width, int height, std::uint8_t r, std::uint8_t g,
                                                                 std::uint8_t b, Clock::TimePoint at = {}) {
  auto frame = std::make_shared<platform::CapturedFrame>();
  frame->width = width;
  frame->height = height;
  frame->planes.resize(platform::CapturedFrame::byteCount(width, height));
  const std::uint8_t bgrx[4] = {b, g, r, 0xFF};
  std::uint8_t y = 0;
  std::uint8_t u = 0;
  std::uint8_t v = 0;
  libyuv::ARGBToI420(bgrx, 4, &y, 1, &u, 1, &v, 1, 1, 1);
  std::fill(frame->y(), frame->u(), y);
  std::fill(frame->u(), frame->v(), u);
  std::fill(frame->v(), frame->planes.data() + frame->planes.size(), v);
  frame->timestamp = at;
  return frame;
}

// What a capture service's unexpected-stop handler saw.
struct StopReports {
  testing::RecordedValues<ScreenCaptureFailure> failures;

  std::function<boost::asio::awaitable<void>(ScreenCaptureFailure)> handler() {
    return [this](ScreenCaptureFailure failure) -> boost::asio::awaitable<void> {
      failures.add(std::move(failure));
      co_return;
    };
  }
};

// What `operation` throws as a ScreenCaptureError (kind and message); nullopt when it succeeds.
template <class T>
std::optional<std::pair<ScreenCaptureError::Kind, std::string>> captureErrorOf(
    MainLoopForTests& loop, boost::asio::awaitable<T> operation,
    std::chrono::milliseconds timeout = std::chrono::seconds(20)) {
  try {
    awaitOn(loop, std::move(operation), timeout);
  } catch (const ScreenCaptureError& e) {
    return std::pair(e.kind(), std::string(e.what()));
  }
  return std::nullopt;
}

inline std::size_t countOf(const std::vector<std::string>& lines, const std::string& line) {
  return static_cast<std::size_t>(std::count(lines.begin(), lines.end(), line));
}

}  // namespace veltrano::test
