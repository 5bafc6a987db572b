#include "host/real_host_services.hpp"

#include <map>
#include <optional>
#include <string>
#include <utility>

#include "base/thread_checks.hpp"
#include "control/bonjour_publisher.hpp"
#include "control/network_host_server.hpp"
#include "filetransfer/local_file_transfer_server.hpp"
#include "media/actor_access.hpp"
#include "media/audio_stream_server.hpp"
#include "media/blocking_call.hpp"
#include "media/client_count_tally.hpp"
#include "media/video_encoder_service.hpp"
#include "media/video_stream_server.hpp"
#include "platform/x11/desktop_switcher.hpp"
#include "platform/x11/x11_display.hpp"
#include "remote/remote_system_environment.hpp"

namespace veltrano {
namespace {

// Each adapter keeps its service and forwards; the servers' own operations hop onto their executors.
template <class Interface, class Service>
class ListeningAdapter : public Interface {
 public:
  explicit ListeningAdapter(std::shared_ptr<Service> service) : service_(std::move(service)) {}
  asio::awaitable<void> start() override { co_await service_->start(); }
  asio::awaitable<void> stop() override { co_await service_->stop(); }
  const std::shared_ptr<Service>& service() const { return service_; }

 protected:
  std::shared_ptr<Service> service_;
};

class RealAudioServer final : public ListeningAdapter<HostAudioServer, AudioStreamServer> {
 public:
  using ListeningAdapter::ListeningAdapter;
  std::shared_ptr<ExternalMediaOutlet> externalOutlet() override { return service_; }
};

// A device identifier that lives only as long as the program, when no settings were given to keep it.
class RunDefaults final : public StringDefaults {
 public:
  std::optional<std::string> string(const std::string& key) const override {
    const auto found = values_.find(key);
    return found == values_.end() ? std::nullopt : std::optional<std::string>(found->second);
  }
  void setString(const std::string& key, const std::string& value) override { values_[key] = value; }

 private:
  std::map<std::string, std::string> values_;
};

class RealVideoServer;

class RealVideoEncoder final : public HostVideoEncoder {
 public:
  explicit RealVideoEncoder(std::shared_ptr<VideoEncoderService> encoder) : encoder_(std::move(encoder)) {}
  asio::awaitable<void> setServer(std::shared_ptr<HostVideoServer> server) override;
  asio::awaitable<void> stopSession() override { co_await encoder_->stopSession(); }
  asio::awaitable<void> setBitRate(std::int64_t bitsPerSecond) override { co_await encoder_->setBitRate(bitsPerSecond); }
  asio::awaitable<void> setFrameRate(std::int32_t framesPerSecond) override {
    co_await encoder_->setFrameRate(framesPerSecond);
  }
  void requestKeyframe() override { encoder_->requestKeyframe(); }
  std::shared_ptr<KeyframeRequestTarget> keyframeTarget() override { return encoder_; }
  const std::shared_ptr<VideoEncoderService>& service() const { return encoder_; }

 private:
  std::shared_ptr<VideoEncoderService> encoder_;
};

class RealVideoServer final : public ListeningAdapter<HostVideoServer, VideoStreamServer> {
 public:
  using ListeningAdapter::ListeningAdapter;
  asio::awaitable<void> setEncoder(std::shared_ptr<HostVideoEncoder> encoder) override {
    std::weak_ptr<KeyframeRequestTarget> target;
    if (auto real = std::dynamic_pointer_cast<RealVideoEncoder>(encoder)) target = real->service();
    auto operation = service_->setEncoder(std::move(target));
    co_await std::move(operation);
  }
  asio::awaitable<void> resetStream() override { co_await service_->resetStream(); }
  std::shared_ptr<ExternalMediaOutlet> externalOutlet() override { return service_; }
};

asio::awaitable<void> RealVideoEncoder::setServer(std::shared_ptr<HostVideoServer> server) {
  std::weak_ptr<EncodedVideoFrameSink> sink;
  if (auto real = std::dynamic_pointer_cast<RealVideoServer>(server)) sink = real->service();
  auto operation = onActor(encoder_, [sink](VideoEncoderService& encoder) { encoder.setFrameSink(sink); });
  co_await std::move(operation);
}

class RealFileServer final : public ListeningAdapter<HostFileServer, LocalFileTransferServer> {
 public:
  using ListeningAdapter::ListeningAdapter;
  void setHandlers(SessionLostHandler onSessionLost, FileDataHandler onFileData) override {
    service_->setOnSessionDisconnected(std::move(onSessionLost));
    service_->setOnFileData(std::move(onFileData));
  }
};

class RealControlServer final : public ListeningAdapter<HostControlServer, NetworkHostServer> {
 public:
  using ListeningAdapter::ListeningAdapter;
  void setOnClientCountChange(ClientCountHandler handler) override {
    service_->setOnClientCountChange(std::move(handler));
  }
  asio::awaitable<void> fileChannelLost(std::string sessionID) override {
    auto operation = service_->fileChannelLost(std::move(sessionID));
    co_await std::move(operation);
  }
  std::shared_ptr<ControlClientBroadcaster> broadcaster() override { return service_; }
};

class RealCaptureService final : public HostCaptureService {
 public:
  explicit RealCaptureService(std::shared_ptr<ScreenCaptureService> capture) : capture_(std::move(capture)) {}
  asio::awaitable<std::vector<DisplayInfo>> availableDisplays() override {
    co_return co_await capture_->availableDisplays();
  }
  asio::awaitable<void> startCapture(std::optional<std::uint32_t> displayID) override {
    co_await capture_->startCapture(displayID);
  }
  asio::awaitable<void> stopCapture() override { co_await capture_->stopCapture(); }
  asio::awaitable<void> setUnexpectedStopHandler(StopHandler handler) override {
    auto operation =
        onActor(capture_, [handler](ScreenCaptureService& capture) { capture.setUnexpectedStopHandler(handler); });
    co_await std::move(operation);
  }
  asio::awaitable<void> applyMediaProfile(MediaProfile profile) override {
    auto operation = capture_->applyMediaProfile(profile.maxWidth, profile.maxHeight, profile.audioSampleRate,
                                                 profile.audioChannels);
    co_await std::move(operation);
  }
  asio::awaitable<CaptureGeometry> geometry() override {
    auto operation = onActor(capture_, [](ScreenCaptureService& capture) {
      return CaptureGeometry{capture.currentDisplayFrame(), capture.currentWidth(), capture.currentHeight()};
    });
    co_return co_await std::move(operation);
  }
  asio::awaitable<void> setPacing(std::int32_t framesPerSecond) override {
    auto operation = onActor(
        capture_, [framesPerSecond](ScreenCaptureService& capture) { capture.setDesiredEncodeFps(framesPerSecond); });
    co_await std::move(operation);
  }

 private:
  std::shared_ptr<ScreenCaptureService> capture_;
};

class RealBonjourPublisher final : public HostBonjourPublisher {
 public:
  explicit RealBonjourPublisher(std::shared_ptr<BonjourPublisher> publisher) : publisher_(std::move(publisher)) {}
  asio::awaitable<void> start(TaskToken token, std::string name, std::uint16_t port, Clock::Duration timeout) override {
    auto operation = publisher_->start(std::move(token), std::move(name), port, timeout);
    co_await std::move(operation);
  }
  void stopPublication() override { publisher_->stopPublication(); }

 private:
  std::shared_ptr<BonjourPublisher> publisher_;
};

class RealHostServiceFactory final : public HostServiceFactory {
 public:
  explicit RealHostServiceFactory(RealHostServiceOptions options)
      : options_(std::move(options)), videoClientTally_(std::make_shared<ClientCountTally>()) {}

  asio::awaitable<void> checkAccountKey() override {
    const IdentityProvider identity = identityProviderOrAccountKeyFile(options_.identityProvider);
    auto read = callBlocking([identity] { identity(); });
    co_await std::move(read);
  }

  std::shared_ptr<HostFileServer> makeFileServer(std::uint16_t port) override {
    assertOnMainThread();
    LocalFileTransferServer::Options fileOptions;
    fileOptions.port = port;
    fileOptions.identityProvider = options_.identityProvider;
    return std::make_shared<RealFileServer>(LocalFileTransferServer::create(std::move(fileOptions)));
  }

  std::shared_ptr<HostControlServer> makeControlServer(ControlServerParts parts) override {
    assertOnMainThread();
    NetworkHostServer::Options controlOptions;
    controlOptions.port = parts.port;
    controlOptions.commandHandler = std::move(parts.commandHandler);
    controlOptions.metrics = parts.metrics;
    controlOptions.identityProvider = options_.identityProvider;
    if (auto file = std::dynamic_pointer_cast<RealFileServer>(parts.fileServer))
      controlOptions.fileServer = file->service();
    controlOptions.fileTransfers = std::move(parts.fileTransfers);
    return std::make_shared<RealControlServer>(NetworkHostServer::create(std::move(controlOptions)));
  }

  std::shared_ptr<HostAudioServer> makeAudioServer(std::uint16_t port, std::shared_ptr<MetricsStore> metrics) override {
    assertOnMainThread();
    return std::make_shared<RealAudioServer>(AudioStreamServer::create(port, metrics, dependencies(nullptr)));
  }

  std::shared_ptr<HostVideoEncoder> makeVideoEncoder(std::shared_ptr<MetricsStore> metrics) override {
    assertOnMainThread();
    return std::make_shared<RealVideoEncoder>(VideoEncoderService::create(std::move(metrics)));
  }

  std::shared_ptr<HostVideoServer> makeVideoServer(std::uint16_t port, std::shared_ptr<MetricsStore> metrics) override {
    assertOnMainThread();
    return std::make_shared<RealVideoServer>(VideoStreamServer::create(port, metrics, dependencies(videoClientTally_)));
  }

  std::shared_ptr<HostCaptureService> makeCaptureService(std::shared_ptr<MetricsStore> metrics,
                                                         std::shared_ptr<HostVideoEncoder> encoder,
                                                         std::shared_ptr<HostVideoServer> videoServer,
                                                         std::shared_ptr<HostAudioServer> audioServer,
                                                         bool capturesAudio) override {
    assertOnMainThread();
    std::shared_ptr<VideoEncoderService> realEncoder;
    if (auto real = std::dynamic_pointer_cast<RealVideoEncoder>(encoder)) realEncoder = real->service();
    std::shared_ptr<VideoStreamServer> realVideo;
    if (auto real = std::dynamic_pointer_cast<RealVideoServer>(videoServer)) realVideo = real->service();
    std::shared_ptr<AudioStreamServer> realAudio;
    if (auto real = std::dynamic_pointer_cast<RealAudioServer>(audioServer)) realAudio = real->service();
    return std::make_shared<RealCaptureService>(ScreenCaptureService::create(
        std::move(metrics), realEncoder, realVideo, realAudio, capturesAudio, options_.captureEnvironment));
  }

  std::shared_ptr<HostBonjourPublisher> makeBonjourPublisher() override {
    assertOnMainThread();
    return std::make_shared<RealBonjourPublisher>(
        BonjourPublisher::create(options_.clock != nullptr ? *options_.clock : systemClock()));
  }

  std::optional<std::uint32_t> mainDisplayID() override {
    assertOnMainThread();
    auto display = openDisplay();
    if (!display) return std::nullopt;
    auto main = platform::X11Display::mainMonitor(display->monitors());
    if (!main) return std::nullopt;
    return main->id;
  }

  DisplayFrame displayBounds(std::uint32_t displayID) override {
    assertOnMainThread();
    auto display = openDisplay();
    if (!display) return {};
    for (const auto& monitor : display->monitors()) {
      if (monitor.id != displayID) continue;
      const auto& bounds = monitor.bounds;
      return {double(bounds.x), double(bounds.y), double(bounds.width), double(bounds.height)};
    }
    return {};
  }

  std::shared_ptr<platform::DesktopSwitcher> makeDesktopSwitcher() override {
    assertOnMainThread();
    return platform::createX11DesktopSwitcher(displayName());
  }

  RemoteHostEnvironment remoteEnvironment(std::function<std::string()> computerName) override {
    if (!options_.deviceDefaults) options_.deviceDefaults = std::make_shared<RunDefaults>();
    RemoteHostEnvironment environment = systemRemoteHostEnvironment(options_.deviceDefaults, std::move(computerName));
    // The account the local servers serve is the one remote access logs in with.
    if (options_.identityProvider) environment.loadIdentity = options_.identityProvider;
    return environment;
  }

 private:
  const char* displayName() const {
    const auto& name = options_.captureEnvironment.xDisplayName;
    return name.empty() ? nullptr : name.c_str();
  }
  std::shared_ptr<platform::X11Display> openDisplay() const { return platform::X11Display::open(displayName()); }

  MediaServerDependencies dependencies(std::shared_ptr<ClientCountTally> tally) const {
    MediaServerDependencies result;
    result.identityProvider = options_.identityProvider;
    result.clientCountTally = std::move(tally);
    return result;
  }

  RealHostServiceOptions options_;
  std::shared_ptr<ClientCountTally> videoClientTally_;
};

}  // namespace

std::shared_ptr<HostServiceFactory> makeRealHostServiceFactory(RealHostServiceOptions options) {
  return std::make_shared<RealHostServiceFactory>(std::move(options));
}

}  // namespace veltrano
