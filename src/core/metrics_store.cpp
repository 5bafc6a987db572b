#include "core/metrics_store.hpp"

#include "base/thread_checks.hpp"


namespace veltrano {

void MetricsStore::resetSessionCounters() {
  assertOnMainThread();
  capturedFrames.set(0);
  encodedFrames.set(0);
  keyframes.set(0);
  videoBytesSent.set(0);
  videoFramesDropped.set(0);
  audioFrames.set(0);
  audioBytesSent.set(0);
  audioFramesDropped.set(0);
  bytesSent.set(0);
  bytesReceived.set(0);
  connectedClients.set(0);
  videoClients.set(0);
  audioClients.set(0);
  isCapturing.set(false);
  fps.set(0);
  encodeMs.set(0);
  averagePingMs.set(0);
  availableDisplays.set({});
  activeDisplayID.set(0);
  lastCommand.set(placeholder);
  lastError.set(placeholder);
  lastFrameDescription.set(placeholder);
}

void MetricsStore::logEvent(LogCategory category, std::string message) {
  assertOnMainThread();
  // A new entry always changes the log (its id is fresh), so it is appended in place rather than compared.
  events_.mutate([&](std::vector<LogEvent>& list) {
    list.push_back(LogEvent{Uuid::random(), Clock::now(), std::string(name(category)), std::move(message)});
    if (list.size() > maxEvents) {
      list.erase(list.begin(), list.begin() + static_cast<std::ptrdiff_t>(list.size() - maxEvents));
    }
  });
}

std::optional<std::string> MetricsStore::localIPv4Address() { return localIPv4Address(systemInterfaceAddresses()); }

std::optional<std::string> MetricsStore::localIPv4Address(const std::vector<InterfaceAddress>& interfaces) {
  std::optional<std::string> firstFound;
  for (const auto& entry : interfaces) {
    if (!entry.isUp || !entry.isRunning || entry.isLoopback || !entry.isIPv4) continue;
    if (entry.address.empty() || entry.address.starts_with("127.")) continue;
    if (entry.interfaceName.starts_with("en")) return entry.address;
    if (!firstFound) firstFound = entry.address;
  }
  return firstFound;
}

}  // namespace veltrano
