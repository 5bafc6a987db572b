#pragma once
// The audio server (port 9092, channel audio). A local client receives the current audio configuration before
// any frame; each frame also carries its own format. A client that falls behind loses its oldest waiting frame:
// it never has more than two frames waiting.
#include <boost/asio/awaitable.hpp>

#include <memory>
#include <optional>

#include "core/local_ports.hpp"
#include "media/audio_packet.hpp"
#include "media/media_stream_server.hpp"

namespace veltrano {

struct AudioClient : MediaClient {
  bool hasConfiguration = false;  // a configuration has been queued for it
};

class AudioStreamServer final : public MediaStreamServer, public AudioPacketSink, public ExternalMediaOutlet {
 public:
  static constexpr std::uint16_t defaultPort = localPorts::audio;

  static std::shared_ptr<AudioStreamServer> create(std::uint16_t port, std::weak_ptr<MetricsStore> metrics,
                                                   MediaServerDependencies dependencies = {});

  // AudioPacketSink: any thread; handled on the server's executor in submission order.
  void submitAudioConfiguration(AudioFormat format) override;
  void submitAudioPacket(AudioPacket packet) override;
  // The same, completing once handled.
  boost::asio::awaitable<void> deliverConfiguration(AudioFormat format);
  boost::asio::awaitable<void> deliver(AudioPacket packet);

  // The remote transport's update: count (below 1 means none) and sink (none for 0), then the client count is
  // published. A higher count (a new listener) gets the stored configuration offered to the sink.
  boost::asio::awaitable<void> applyExternalClients(int count, ExternalPacketSink sink) override;

  // Executor only: the stream's current format.
  const std::optional<AudioFormat>& configuration() const;

 private:
  AudioStreamServer(std::uint16_t port, std::weak_ptr<MetricsStore> metrics, MediaServerDependencies dependencies);

  std::shared_ptr<MediaClient> makeClient() const override;
  void clientJoined(const std::shared_ptr<MediaClient>& client) override;
  void forgetStreamState() override;

  void handleConfiguration(AudioFormat format);
  void handlePacket(AudioPacket packet);

  // Executor state.
  std::optional<AudioFormat> configuration_;
  std::shared_ptr<const Bytes> configurationPacket_;
};

}  // namespace veltrano
