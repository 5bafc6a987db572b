#include "media/audio_stream_server.hpp"

#include <algorithm>

#include "base/actor.hpp"
#include "base/thread_checks.hpp"
#include "core/app_logger.hpp"
#include "media/media_envelope.hpp"

namespace veltrano {

AudioStreamServer::AudioStreamServer(std::uint16_t port, std::weak_ptr<MetricsStore> metrics,
                                     MediaServerDependencies dependencies)
    : MediaStreamServer(port, std::move(metrics),
                        Kind{LocalTransportChannel::audio, platform::ServiceClass::interactiveVoice, "audio",
                             &MetricsStore::audioClients, &MetricsStore::audioBytesSent,
                             &MetricsStore::audioFramesDropped},
                        std::move(dependencies)) {}

std::shared_ptr<AudioStreamServer> AudioStreamServer::create(std::uint16_t port, std::weak_ptr<MetricsStore> metrics,
                                                             MediaServerDependencies dependencies) {
  return std::shared_ptr<AudioStreamServer>(new AudioStreamServer(port, std::move(metrics), std::move(dependencies)));
}

std::shared_ptr<MediaClient> AudioStreamServer::makeClient() const { return std::make_shared<AudioClient>(); }

void AudioStreamServer::submitAudioConfiguration(AudioFormat format) {
  postWhileAlive<AudioStreamServer>([format](AudioStreamServer& server) { server.handleConfiguration(format); });
}

void AudioStreamServer::submitAudioPacket(AudioPacket packet) {
  postWhileAlive<AudioStreamServer>(
      [packet = std::move(packet)](AudioStreamServer& server) mutable { server.handlePacket(std::move(packet)); });
}

asio::awaitable<void> AudioStreamServer::deliverConfiguration(AudioFormat format) {
  co_await runOn(executor(), [](AudioStreamServer* self, AudioFormat f) -> asio::awaitable<void> {
    self->handleConfiguration(f);
    co_return;
  }(this, format));
}

asio::awaitable<void> AudioStreamServer::deliver(AudioPacket packet) {
  co_await runOn(executor(), [](AudioStreamServer* self, AudioPacket p) -> asio::awaitable<void> {
    self->handlePacket(std::move(p));
    co_return;
  }(this, std::move(packet)));
}

asio::awaitable<void> AudioStreamServer::applyExternalClients(int count, ExternalPacketSink sink) {
  co_await runOn(executor(), [](AudioStreamServer* self, int n, ExternalPacketSink s) -> asio::awaitable<void> {
    const int previous = self->replaceExternalClients(n, std::move(s));
    // A new listener hears the format before any frame (the hub passes a repeated one to new listeners only).
    if (self->externalClientCount() > previous && self->configurationPacket_) {
      self->offerToExternalSink(*self->configurationPacket_);
    }
    co_await self->publishClientCount();
  }(this, count, std::move(sink)));
}

const std::optional<AudioFormat>& AudioStreamServer::configuration() const {
  assertOnStrand(executor());
  return configuration_;
}

void AudioStreamServer::clientJoined(const std::shared_ptr<MediaClient>& client) {
  if (!configurationPacket_) return;
  client->queue.push_back(MediaPacket{configurationPacket_, false});
  static_cast<AudioClient&>(*client).hasConfiguration = true;
}

void AudioStreamServer::forgetStreamState() {
  configuration_.reset();
  configurationPacket_.reset();
}

void AudioStreamServer::handleConfiguration(AudioFormat format) {
  configuration_ = format;
  configurationPacket_ = std::make_shared<const Bytes>(makeAudioConfigurationEnvelope(format));
  for (auto& [connectionID, client] : clients()) {
    // Frames still waiting are dropped with the old configuration, so that a client never has more than one
    // configuration and two frames waiting, and never a frame ahead of its first configuration.
    countDropped(static_cast<std::int64_t>(client->waitingFrameCount()));
    client->queue.clear();
    enqueue(client, MediaPacket{configurationPacket_, false});
    static_cast<AudioClient&>(*client).hasConfiguration = true;
  }
  if (externalClientCount() > 0) offerToExternalSink(*configurationPacket_);
}

void AudioStreamServer::handlePacket(AudioPacket packet) {
  auto envelope = std::make_shared<const Bytes>(makeAudioFrameEnvelope(packet));
  if (envelope->size() > maximumPlaintextSize(LocalTransportChannel::audio)) {
    log(LogCategory::Error, [&] { return "Audio frame too large to send: " + std::to_string(envelope->size()) + " bytes"; });
    countDropped(1);
    return;
  }
  addToCounter(&MetricsStore::audioFrames, 1);
  for (auto& [connectionID, client] : clients()) {
    if (!static_cast<AudioClient&>(*client).hasConfiguration) {
      countDropped(1);  // it must learn the format first
      continue;
    }
    if (client->waitingFrameCount() >= maximumWaitingFrames) {
      auto oldest = std::find_if(client->queue.begin(), client->queue.end(), [](const MediaPacket& p) { return p.isFrame; });
      client->queue.erase(oldest);
      countDropped(1);
    }
    enqueue(client, MediaPacket{envelope, true});
  }
  offerToExternalSink(*envelope);
}

}  // namespace veltrano
