#include "media/video_stream_server.hpp"

#include <algorithm>
#include <exception>

#include "base/actor.hpp"
#include "base/thread_checks.hpp"
#include "core/app_logger.hpp"
#include "media/media_envelope.hpp"

namespace veltrano {

VideoStreamServer::VideoStreamServer(std::uint16_t port, std::weak_ptr<MetricsStore> metrics,
                                     MediaServerDependencies dependencies)
    : MediaStreamServer(port, std::move(metrics),
                        Kind{LocalTransportChannel::video, platform::ServiceClass::interactiveVideo, "video",
                             &MetricsStore::videoClients, &MetricsStore::videoBytesSent,
                             &MetricsStore::videoFramesDropped},
                        std::move(dependencies)) {}

std::shared_ptr<VideoStreamServer> VideoStreamServer::create(std::uint16_t port, std::weak_ptr<MetricsStore> metrics,
                                                             MediaServerDependencies dependencies) {
  return std::shared_ptr<VideoStreamServer>(new VideoStreamServer(port, std::move(metrics), std::move(dependencies)));
}

std::shared_ptr<MediaClient> VideoStreamServer::makeClient() const { return std::make_shared<VideoClient>(); }

void VideoStreamServer::submitEncodedFrame(EncodedVideoFrame frame) {
  postWhileAlive<VideoStreamServer>(
      [frame = std::move(frame)](VideoStreamServer& server) mutable { server.handleFrame(std::move(frame)); });
}

bool VideoStreamServer::isExternalSinkWaitingForKeyframe() const {
  assertOnStrand(executor());
  return externalWaitingForKeyframe_;
}

double VideoStreamServer::lastExternalKeyframeRequestTime() const {
  assertOnStrand(executor());
  return lastExternalKeyframeRequestAt_;
}

const std::shared_ptr<const Bytes>& VideoStreamServer::parameterSetPacket() const {
  assertOnStrand(executor());
  return parameterSetPacket_;
}

asio::awaitable<void> VideoStreamServer::deliver(EncodedVideoFrame frame) {
  co_await runOn(executor(), [](VideoStreamServer* self, EncodedVideoFrame f) -> asio::awaitable<void> {
    self->handleFrame(std::move(f));
    co_return;
  }(this, std::move(frame)));
}

asio::awaitable<void> VideoStreamServer::resetStream() {
  co_await runOn(executor(), [](VideoStreamServer* self) -> asio::awaitable<void> {
    self->parameterSetPacket_.reset();
    self->parameterSets_.reset();
    self->loseStream();
    co_return;
  }(this));
}

asio::awaitable<void> VideoStreamServer::setEncoder(std::weak_ptr<KeyframeRequestTarget> target) {
  co_await runOn(executor(), [](VideoStreamServer* self, std::weak_ptr<KeyframeRequestTarget> t) -> asio::awaitable<void> {
    self->encoder_ = std::move(t);
    co_return;
  }(this, std::move(target)));
}

asio::awaitable<void> VideoStreamServer::applyExternalClients(int count, ExternalPacketSink sink) {
  co_await runOn(executor(), [](VideoStreamServer* self, int n, ExternalPacketSink s) -> asio::awaitable<void> {
    const int previous = self->replaceExternalClients(n, std::move(s));
    if (self->externalClientCount() == 0) {
      self->externalWaitingForKeyframe_ = false;
      self->externalKeyframeDue_ = false;
      self->lastExternalKeyframeRequestAt_ = 0;
    } else if (self->externalClientCount() > previous) {
      self->requestKeyframe(true);  // a new remote viewer starts with a keyframe, also when others watch already
    }
    co_await self->publishClientCount();
  }(this, count, std::move(sink)));
}

void VideoStreamServer::clientJoined(const std::shared_ptr<MediaClient>& client) {
  if (parameterSetPacket_) client->queue.push_back(MediaPacket{parameterSetPacket_, false});
  static_cast<VideoClient&>(*client).waitingForKeyframe = true;
  requestKeyframe(true);
}

void VideoStreamServer::handleFrame(EncodedVideoFrame frame) {
  if (frame.keyframe) {
    const bool described =
        frame.parameterSets ? acceptParameterSets(*frame.parameterSets) : parameterSetPacket_ != nullptr;
    if (!described) {
      // Nothing could tell a decoder how to read this keyframe or what follows it.
      countDropped(1);
      loseStream();
      requestKeyframe(false);
      return;
    }
  }

  auto envelope = std::make_shared<const Bytes>(makeVideoFrameEnvelope(frame));
  if (envelope->size() > maximumPlaintextSize(LocalTransportChannel::video)) {
    log(LogCategory::Error, [&] { return "Video frame too large to send: " + std::to_string(envelope->size()) + " bytes"; });
    countDropped(1);
    loseStream();
    requestKeyframe(false);
    return;
  }

  bool congested = false;
  for (auto& [connectionID, client] : clients()) {
    deliverToClient(static_cast<VideoClient&>(*client), envelope, frame.keyframe, congested);
    pump(client);
  }
  deliverToExternalSink(envelope, frame.keyframe);
  if (congested) requestKeyframe(false);
}

bool VideoStreamServer::acceptParameterSets(const VideoParameterSets& sets) {
  if (parameterSetPacket_ && parameterSets_ == sets) return true;
  try {
    parameterSetPacket_ = std::make_shared<const Bytes>(makeVideoConfigurationEnvelope(sets));
    parameterSets_ = sets;
    return true;
  } catch (const std::exception& error) {
    log(LogCategory::Error, [&] { return std::string("Video parameter sets rejected: ") + error.what(); });
    parameterSetPacket_.reset();
    parameterSets_.reset();
    return false;
  }
}

void VideoStreamServer::deliverToClient(VideoClient& client, const std::shared_ptr<const Bytes>& envelope,
                                        bool keyframe, bool& congested) {
  if (keyframe) {
    // When the keyframe would not fit, the frames still waiting go: nothing after the keyframe needs them.
    if (client.waitingFrameCount() + 1 > maximumWaitingFrames) {
      countDropped(static_cast<std::int64_t>(client.waitingFrameCount()));
      client.queue.clear();
    }
    client.queue.push_back(MediaPacket{parameterSetPacket_, false});
    client.queue.push_back(MediaPacket{envelope, true});
    client.waitingForKeyframe = false;
    return;
  }
  if (client.waitingForKeyframe) {
    countDropped(1);
    return;
  }
  const auto waiting = client.waitingFrameCount();
  if (waiting >= maximumWaitingFrames) {
    countDropped(static_cast<std::int64_t>(waiting) + 1);
    client.queue.clear();
    client.waitingForKeyframe = true;
    congested = true;
    return;
  }
  client.queue.push_back(MediaPacket{envelope, true});
}

void VideoStreamServer::deliverToExternalSink(const std::shared_ptr<const Bytes>& envelope, bool keyframe) {
  if (!hasExternalPacketSink()) return;
  if (keyframe) {
    lastExternalKeyframeSize_ = parameterSetPacket_->size() + envelope->size();
    if (offerToExternalSink(*parameterSetPacket_) == SinkOutcome::refused) {
      countDropped(1);  // the keyframe would be undecodable without it
      handleExternalRefusal();
      return;
    }
    if (offerToExternalSink(*envelope) == SinkOutcome::refused) {
      handleExternalRefusal();
      return;
    }
    externalWaitingForKeyframe_ = false;
    externalKeyframeDue_ = false;
    return;
  }
  if (externalWaitingForKeyframe_) {
    countDropped(1);
    requestExternalKeyframe();  // the keyframe asked for may have come while the peer was still behind
    return;
  }
  if (offerToExternalSink(*envelope) == SinkOutcome::refused) handleExternalRefusal();
}

void VideoStreamServer::handleExternalRefusal() {
  externalWaitingForKeyframe_ = true;
  // A sink that tells when its viewers have room gets one keyframe per refusal, once they have.
  externalKeyframeDue_ = externalPacketSink().tellsRoom();
  requestExternalKeyframe();
}

void VideoStreamServer::requestExternalKeyframe() {
  // A keyframe the viewers cannot take yet would only be refused in turn.
  if (!externalPacketSink().hasRoomFor(lastExternalKeyframeSize_)) return;
  const double now = secondsNow();
  if (externalKeyframeDue_) {
    externalKeyframeDue_ = false;
    requestKeyframe(true);
    lastExternalKeyframeRequestAt_ = now;
    return;
  }
  // A keyframe asked for that never came, or a sink that cannot tell: once a second.
  const double interval = std::chrono::duration<double>(keyframeRequestInterval).count();
  if (lastExternalKeyframeRequestAt_ != 0 && now - lastExternalKeyframeRequestAt_ < interval) return;
  if (requestKeyframe(false)) lastExternalKeyframeRequestAt_ = now;
}

void VideoStreamServer::loseStream() {
  for (auto& [connectionID, client] : clients()) {
    countDropped(static_cast<std::int64_t>(client->waitingFrameCount()));
    client->queue.clear();
    static_cast<VideoClient&>(*client).waitingForKeyframe = true;
  }
  if (externalClientCount() > 0) externalWaitingForKeyframe_ = true;
}

bool VideoStreamServer::requestKeyframe(bool force) {
  const auto now = clock().now();
  if (!force && lastKeyframeRequestAt_ && now - *lastKeyframeRequestAt_ < keyframeRequestInterval) return false;
  lastKeyframeRequestAt_ = now;
  if (auto target = encoder_.lock()) target->requestKeyframe();
  return true;
}

double VideoStreamServer::secondsNow() const {
  return std::chrono::duration<double>(clock().now().time_since_epoch()).count();
}

}  // namespace veltrano
