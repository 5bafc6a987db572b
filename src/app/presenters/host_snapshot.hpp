#pragma once
// What the window and the tray show of the host, read at one moment: the view model's flags, permissions and
// counters and the metrics store's values. The presenters are pure functions of it.
#include <cstdint>
#include <string>

#include "core/local_ports.hpp"

namespace veltrano::app {

struct HostSnapshot {
  bool isRunning = false;
  bool isStarting = false;
  bool isCapturing = false;
  bool launchAtLogin = false;
  bool hasResolvedPermissions = false;
  bool requiresPermissionGate = false;
  bool hasAllPermissions = false;
  bool showScreenRecordingRecoveryHelp = false;  // a Screen Recording request did not give access
  std::int64_t localControlClients = 0;
  std::int64_t remoteConnectedClients = 0;
  std::string localIP = "\u2014";
  std::string connectionRouteSummary{};  // already localized upstream, like the next three
  std::string mediaPathDescription{};
  std::string remoteAccessStatus{};
  std::string displayInfo = "\u2014";
  std::int64_t availableDisplays = 0;
  std::string screenRecordingStatus = "unknown";  // "granted" when given, else "missing" once read
  std::string accessibilityStatus = "unknown";
  std::string lastError = "\u2014";
  std::string lastCommand = "\u2014";
  std::string lastFrameDescription = "\u2014";
  std::int64_t port = localPorts::control;
  std::int64_t videoPort = localPorts::video;
  std::int64_t audioPort = localPorts::audio;
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
  bool operator==(const HostSnapshot&) const = default;
};

}  // namespace veltrano::app
