#pragma once
// A read-only snapshot of what the console's pages show of the host: the view model's flags and counters and
// the metrics store's values. The presenters are pure functions of it.
#include <cstdint>
#include <string>

namespace veltrano::app {

struct HostView {
  bool isRunning = false;
  bool isStarting = false;
  bool isCapturing = false;
  bool launchAtLogin = false;
  std::int64_t localControlClients = 0;
  std::int64_t remoteConnectedClients = 0;
  std::string localIP = "\u2014";
  std::string connectionRouteSummary;  // already localized upstream, like the next three
  std::string mediaPathDescription;
  std::string remoteAccessStatus;
  std::string displayInfo = "\u2014";
  std::int64_t availableDisplays = 0;
  std::string screenRecordingStatus = "unknown";
  std::string accessibilityStatus = "unknown";
  std::string lastError = "\u2014";
  std::string lastCommand = "\u2014";
  std::string lastFrameDescription = "\u2014";
  std::int64_t port = 9090;
  std::int64_t videoPort = 9091;
  std::int64_t audioPort = 9092;
  double fps = 0;
  std::int64_t capturedFrames = 0;
  std::int64_t connectedClients = 0;
  std::int64_t videoClients = 0;
  std::int64_t encodedFrames = 0;
  std::int64_t keyframes = 0;
  double encodeMs = 0;
  std::int64_t videoBytesSent = 0;
  std::int64_t videoFramesDropped = 0;
  std::int64_t audioClients = 0;
  std::int64_t audioFrames = 0;
  std::int64_t audioBytesSent = 0;
  std::int64_t audioFramesDropped = 0;
  std::int64_t bytesSent = 0;
  std::int64_t bytesReceived = 0;
  double averagePingMs = 0;

  std::int64_t deviceCount() const { return localControlClients + remoteConnectedClients; }
  bool isHostActive() const { return isRunning || isStarting; }
  bool operator==(const HostView&) const = default;
};

}  // namespace veltrano::app
