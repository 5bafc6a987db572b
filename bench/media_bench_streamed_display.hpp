#pragma once
// The capture service and the encoder of one display wired as the host wires them, and the same streamed through
// the video server to one local client on loopback: what the media and control benchmarks run.
#include <atomic>
#include <cstdint>
#include <future>
#include <memory>
#include <optional>
#include <string>

#include "base/executors.hpp"
#include "core/metrics_store.hpp"
#include "media/actor_access.hpp"
#include "media/screen_capture_service.hpp"
#include "media/video_encoder_service.hpp"
#include "media/video_stream_server.hpp"
#include "platform/crypto/signing_key.hpp"
#include "support/local_test_client.hpp"
#include "support/run_blocking.hpp"
#include "transport/veltrano_identity.hpp"

namespace veltrano::bench {

// Where the encoder's frames go when no network is measured: always watched, counted and dropped.
class CountingVideoSink final : public EncodedVideoFrameSink {
 public:
  void submitEncodedFrame(EncodedVideoFrame) override { ++frames; }
  bool hasViewers() const override { return true; }
  std::atomic<std::uint64_t> frames{0};
};

// The capture service and the encoder of one display, wired as the host wires them, capturing at `fps`.
class DisplayPipeline {
 public:
  // `sources`: where the capture's frames come from (null: the X server, as in the host).
  DisplayPipeline(const std::string& display, std::uint32_t monitorID, int fps,
                  std::shared_ptr<EncodedVideoFrameSink> sink, std::shared_ptr<VideoStreamServer> server,
                  std::shared_ptr<CaptureSources> sources = nullptr) {
    encoder_ = VideoEncoderService::create(metrics_);
    testing::runBlocking(onActor(encoder_, [sink](VideoEncoderService& e) { e.setFrameSink(sink); }));
    testing::runBlocking(encoder_->setFrameRate(fps));
    if (server) testing::runBlocking(server->setEncoder(encoder_));
    capture_ = ScreenCaptureService::create(metrics_, encoder_, sink, nullptr, false, {display, {}, std::move(sources)});
    testing::runBlocking(onActor(capture_, [fps](ScreenCaptureService& c) { c.setDesiredEncodeFps(fps); }));
    testing::runBlocking(capture_->startCapture(monitorID));
  }
  ~DisplayPipeline() {
    testing::runBlocking(capture_->stopCapture());
    testing::runBlocking(encoder_->stopSession());
  }
  DisplayPipeline(const DisplayPipeline&) = delete;
  DisplayPipeline& operator=(const DisplayPipeline&) = delete;

  // Frames the capture service received from the stream so far (one per grab), read on the main thread.
  std::int64_t capturedFrames() const {
    std::promise<std::int64_t> counted;
    performOnMainRunLoop([&] { counted.set_value(metrics_->capturedFrames.get()); });
    return counted.get_future().get();
  }

 private:
  std::shared_ptr<MetricsStore> metrics_ = std::make_shared<MetricsStore>();
  std::shared_ptr<VideoEncoderService> encoder_;
  std::shared_ptr<ScreenCaptureService> capture_;
};

// A display streamed through the video server on a free loopback port to one local client.
class StreamedDisplay {
 public:
  StreamedDisplay(const std::string& display, std::uint32_t monitorID, int fps) {
    MediaServerDependencies dependencies;
    dependencies.identityProvider = [key = key_] { return VeltranoIdentity(key); };
    server_ = VideoStreamServer::create(0, metrics_, dependencies);
    testing::runBlocking(server_->start());
    pipeline_.emplace(display, monitorID, fps, server_, server_);
    client_ = testing::LocalTestClient::connectBlocking(server_->listeningPort(), LocalTransportChannel::video, key_);
  }
  ~StreamedDisplay() {
    client_->close();
    pipeline_.reset();
    testing::runBlocking(server_->stop());
  }
  StreamedDisplay(const StreamedDisplay&) = delete;
  StreamedDisplay& operator=(const StreamedDisplay&) = delete;

  testing::LocalTestClient& client() { return *client_; }

 private:
  platform::SigningKey key_ = platform::SigningKey::generate();
  std::shared_ptr<MetricsStore> metrics_ = std::make_shared<MetricsStore>();
  std::shared_ptr<VideoStreamServer> server_;
  std::optional<DisplayPipeline> pipeline_;
  std::shared_ptr<testing::LocalTestClient> client_;
};

}  // namespace veltrano::bench
