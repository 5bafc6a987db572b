#pragma once
// What the host view model needs of each service it builds, and the one factory that builds them. The real
// factory wraps the capture, encoder, stream, file and control servers and the Bonjour publisher; tests give
// fakes, so the whole start-up and teardown run headless.
//
// Every operation is called from the main thread; an awaitable completes back on the caller's executor.
#include <boost/asio/awaitable.hpp>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "base/clock.hpp"
#include "base/encoding.hpp"
#include "base/task.hpp"
#include "core/display_info.hpp"
#include "media/display_frame.hpp"
#include "media/external_media_outlet.hpp"
#include "media/screen_capture_errors.hpp"
#include "platform/x11/desktop_switcher.hpp"
#include "remote/remote_host_coordinator.hpp"

namespace veltrano {

class ControlClientBroadcaster;
class InputCommandHandler;
class KeyframeRequestTarget;
class MetricsStore;
class RemoteFileTransferCoordinator;

namespace asio = boost::asio;

// A local server on a fixed port: start() returns once it listens, stop() once its port is free again
// (harmless on a server that never started).
class HostListeningService {
 public:
  virtual ~HostListeningService() = default;
  virtual asio::awaitable<void> start() = 0;
  virtual asio::awaitable<void> stop() = 0;
};

class HostVideoEncoder;

class HostVideoServer : public HostListeningService {
 public:
  virtual asio::awaitable<void> setEncoder(std::shared_ptr<HostVideoEncoder> encoder) = 0;
  virtual asio::awaitable<void> resetStream() = 0;
  // What remote access feeds with its viewers' count and sink.
  virtual std::shared_ptr<ExternalMediaOutlet> externalOutlet() = 0;
};

class HostVideoEncoder {
 public:
  virtual ~HostVideoEncoder() = default;
  virtual asio::awaitable<void> setServer(std::shared_ptr<HostVideoServer> server) = 0;
  virtual asio::awaitable<void> stopSession() = 0;
  // Out-of-range values are ignored by the encoder.
  virtual asio::awaitable<void> setBitRate(std::int64_t bitsPerSecond) = 0;
  virtual asio::awaitable<void> setFrameRate(std::int32_t framesPerSecond) = 0;
  // The next encoded frame is a keyframe. Returns at once.
  virtual void requestKeyframe() = 0;
  // Where the command handler sends keyframe requests.
  virtual std::shared_ptr<KeyframeRequestTarget> keyframeTarget() = 0;
};

class HostAudioServer : public HostListeningService {
 public:
  virtual std::shared_ptr<ExternalMediaOutlet> externalOutlet() = 0;
};

class HostFileServer : public HostListeningService {
 public:
  using SessionLostHandler = std::function<asio::awaitable<void>(std::string sessionID)>;
  using FileDataHandler = std::function<asio::awaitable<void>(std::string sessionID, Bytes record)>;
  // Before start().
  virtual void setHandlers(SessionLostHandler onSessionLost, FileDataHandler onFileData) = 0;
};

class HostControlServer : public HostListeningService {
 public:
  using ClientCountHandler = std::function<asio::awaitable<void>(std::int64_t count)>;
  // Before start().
  virtual void setOnClientCountChange(ClientCountHandler handler) = 0;
  virtual asio::awaitable<void> fileChannelLost(std::string sessionID) = 0;
  // Where the command handler sends its broadcasts.
  virtual std::shared_ptr<ControlClientBroadcaster> broadcaster() = 0;
};

// What a capture produces: the display's bounds and the size of its output frames (0 when not capturing).
struct CaptureGeometry {
  DisplayFrame displayFrame;
  std::int64_t width = 0;
  std::int64_t height = 0;
};

// The capture's size cap (0: none) and sound format.
struct MediaProfile {
  std::int64_t maxWidth = 0;
  std::int64_t maxHeight = 0;
  std::int64_t audioSampleRate = 48000;
  std::int64_t audioChannels = 2;
  bool operator==(const MediaProfile&) const = default;
};

class HostCaptureService {
 public:
  using StopHandler = std::function<asio::awaitable<void>(ScreenCaptureFailure)>;
  virtual ~HostCaptureService() = default;
  virtual asio::awaitable<std::vector<DisplayInfo>> availableDisplays() = 0;
  virtual asio::awaitable<void> startCapture(std::optional<std::uint32_t> displayID) = 0;
  virtual asio::awaitable<void> stopCapture() = 0;
  // None clears it.
  virtual asio::awaitable<void> setUnexpectedStopHandler(StopHandler handler) = 0;
  // Restarts a running capture when the profile changes what it produces; throws what that start throws.
  virtual asio::awaitable<void> applyMediaProfile(MediaProfile profile) = 0;
  virtual asio::awaitable<CaptureGeometry> geometry() = 0;
  // The pace at which frames go to the encoder, from the next frame on.
  virtual asio::awaitable<void> setPacing(std::int32_t framesPerSecond) = 0;
};

class HostBonjourPublisher {
 public:
  virtual ~HostBonjourPublisher() = default;
  // Returns once published; throws the publication's error, or CancellationError when `token` is cancelled or
  // the publication is withdrawn meanwhile.
  virtual asio::awaitable<void> start(TaskToken token, std::string name, std::uint16_t port,
                                      Clock::Duration timeout) = 0;
  virtual void stopPublication() = 0;
};

struct ControlServerParts {
  std::uint16_t port = 0;
  std::shared_ptr<InputCommandHandler> commandHandler;
  std::shared_ptr<MetricsStore> metrics;  // held weakly by the server
  std::shared_ptr<HostFileServer> fileServer;
  std::shared_ptr<RemoteFileTransferCoordinator> fileTransfers;
};

class HostServiceFactory {
 public:
  virtual ~HostServiceFactory() = default;
  // Reads the account key the servers will prove, creating it when there is none; throws when it cannot be used
  // (a malformed file), so that a start fails at once rather than at the first handshake.
  virtual asio::awaitable<void> checkAccountKey() { co_return; }
  virtual std::shared_ptr<HostFileServer> makeFileServer(std::uint16_t port) = 0;
  virtual std::shared_ptr<HostControlServer> makeControlServer(ControlServerParts parts) = 0;
  virtual std::shared_ptr<HostAudioServer> makeAudioServer(std::uint16_t port,
                                                           std::shared_ptr<MetricsStore> metrics) = 0;
  virtual std::shared_ptr<HostVideoEncoder> makeVideoEncoder(std::shared_ptr<MetricsStore> metrics) = 0;
  virtual std::shared_ptr<HostVideoServer> makeVideoServer(std::uint16_t port,
                                                           std::shared_ptr<MetricsStore> metrics) = 0;
  // The encoder and the servers may be null (a service made only to list the displays).
  virtual std::shared_ptr<HostCaptureService> makeCaptureService(std::shared_ptr<MetricsStore> metrics,
                                                                 std::shared_ptr<HostVideoEncoder> encoder,
                                                                 std::shared_ptr<HostVideoServer> videoServer,
                                                                 std::shared_ptr<HostAudioServer> audioServer,
                                                                 bool capturesAudio) = 0;
  virtual std::shared_ptr<HostBonjourPublisher> makeBonjourPublisher() = 0;
  // The main display's identifier; nullopt when there is none.
  virtual std::optional<std::uint32_t> mainDisplayID() = 0;
  // A display's bounds in global coordinates; zero when it is unknown.
  virtual DisplayFrame displayBounds(std::uint32_t displayID) = 0;
  // Where "switchSpace" goes; null refuses every switch.
  virtual std::shared_ptr<platform::DesktopSwitcher> makeDesktopSwitcher() = 0;
  // What remote access runs on: the account key, the signaling service, the data-channel peer; the device is
  // named `computerName`.
  virtual RemoteHostEnvironment remoteEnvironment(std::function<std::string()> computerName) = 0;
};

}  // namespace veltrano
