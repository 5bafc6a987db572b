#include "remote/remote_system_environment.hpp"

#include <cstdlib>

#include "core/app_logger.hpp"
#include "platform/net/netlink_path_monitor.hpp"
#include "platform/webrtc/peer_connection.hpp"

namespace veltrano {

platform::WssEndpoint configuredSignalingEndpoint() {
  const char* configured = std::getenv("VELTRANO_SIGNALING_URL");
  if (!configured || !*configured) return defaultSignalingEndpoint();
  if (auto endpoint = platform::parseWssUrl(configured)) return *endpoint;
  log(LogCategory::Error,
      std::string("remote signaling: VELTRANO_SIGNALING_URL is not a wss URL, using the built-in one: ") + configured);
  return defaultSignalingEndpoint();
}

RemoteHostEnvironment systemRemoteHostEnvironment(std::shared_ptr<StringDefaults> defaults,
                                                  std::function<std::string()> computerName) {
  RemoteHostEnvironment environment;
  environment.loadIdentity = [] { return VeltranoIdentity::loadOrCreate(); };
  environment.defaults = std::move(defaults);
  environment.computerName = std::move(computerName);
  environment.signalingEndpoint = configuredSignalingEndpoint();
  environment.makeSignaling = signalingClientFactory();
  environment.makePeerConnection = [](const webrtc::PeerConfiguration& configuration,
                                      std::weak_ptr<webrtc::PeerConnectionObserver> observer) {
    return webrtc::createPeerConnection(configuration, std::move(observer));
  };
  environment.makeNetworkPathMonitor = [] { return platform::NetlinkPathMonitor::create(); };
  return environment;
}

}  // namespace veltrano
