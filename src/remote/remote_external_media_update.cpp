// Hands the remote viewer counts and the media hub's sinks to the media servers.
#include "remote/remote_host_coordinator.hpp"

#include "remote/data_channel_labels.hpp"

namespace veltrano {

asio::awaitable<void> RemoteHostCoordinator::applyTransportUpdate(RemoteTransportUpdate update) {
  const std::shared_ptr<RemoteHostMediaHub> hub = update.mediaHub;
  for (const RemoteTransportUpdate::Video& video : update.video) {
    if (video.viewerCount < 1 || !hub) {
      co_await video.server->applyExternalClients(0, nullptr);
      continue;
    }
    ExternalPacketSink sink(
        [hub, displayID = video.displayID](const Bytes& envelope) { return hub->sendVideo(displayID, envelope); },
        [hub, displayID = video.displayID](std::size_t size) { return hub->hasRoomForVideo(displayID, size); });
    co_await video.server->applyExternalClients(video.viewerCount, std::move(sink));
  }
  if (!update.audioServer) co_return;
  if (update.audioListenerCount < 1 || !hub) {
    co_await update.audioServer->applyExternalClients(0, nullptr);
    co_return;
  }
  ExternalPacketSink sink = [hub](const Bytes& envelope) {
    return hub->sendAudio(std::string(audioChannelLabel), envelope);
  };
  co_await update.audioServer->applyExternalClients(update.audioListenerCount, std::move(sink));
}

}  // namespace veltrano
