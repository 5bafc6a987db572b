#pragma once
// The observable host state that the window and the menu show, and the activity log.
// Main thread only: other threads write through performOnMainRunLoop.
#include "base/uuid.hpp"
#include "core/display_info.hpp"
#include "core/local_ports.hpp"
#include "core/log_category.hpp"
#include "core/network_interfaces.hpp"
#include "core/observable_property.hpp"

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace veltrano {

class MetricsStore {
 public:
  using Clock = std::chrono::system_clock;

  struct LogEvent {
    Uuid id;
    Clock::time_point date;
    std::string tag;
    std::string message;
    bool operator==(const LogEvent&) const = default;
  };

  static constexpr std::size_t maxEvents = 200;
  static constexpr const char* placeholder = "\u2014";  // an em dash: "nothing yet"

  MetricsStore() = default;
  MetricsStore(const MetricsStore&) = delete;
  MetricsStore& operator=(const MetricsStore&) = delete;

  ObservableProperty<bool> isRunning{false};
  ObservableProperty<std::optional<Clock::time_point>> startTime{std::nullopt};
  ObservableProperty<int> port{localPorts::control};
  ObservableProperty<int> videoPort{localPorts::video};
  ObservableProperty<int> audioPort{localPorts::audio};
  ObservableProperty<std::string> localIP{placeholder};
  ObservableProperty<std::string> lastError{placeholder};
  ObservableProperty<std::string> lastCommand{placeholder};
  ObservableProperty<bool> isCapturing{false};
  ObservableProperty<double> fps{0};
  ObservableProperty<std::int64_t> capturedFrames{0};
  ObservableProperty<std::string> lastFrameDescription{placeholder};
  ObservableProperty<std::int64_t> connectedClients{0};  // local control clients
  ObservableProperty<std::int64_t> videoClients{0};
  ObservableProperty<std::int64_t> encodedFrames{0};
  ObservableProperty<std::int64_t> keyframes{0};
  ObservableProperty<double> encodeMs{0};
  ObservableProperty<std::int64_t> videoBytesSent{0};
  ObservableProperty<std::int64_t> videoFramesDropped{0};
  ObservableProperty<std::int64_t> audioClients{0};
  ObservableProperty<std::int64_t> audioFrames{0};
  ObservableProperty<std::int64_t> audioBytesSent{0};
  ObservableProperty<std::int64_t> audioFramesDropped{0};
  ObservableProperty<std::int64_t> bytesSent{0};
  ObservableProperty<std::int64_t> bytesReceived{0};
  ObservableProperty<double> averagePingMs{0};
  ObservableProperty<std::int64_t> hostWidth{0};
  ObservableProperty<std::int64_t> hostHeight{0};
  ObservableProperty<std::uint32_t> activeDisplayID{0};
  ObservableProperty<std::vector<DisplayInfo>> availableDisplays;
  ObservableProperty<std::string> displayInfo{placeholder};
  ObservableProperty<std::string> screenRecordingStatus{"unknown"};
  ObservableProperty<std::string> accessibilityStatus{"unknown"};
  // Oldest first, never longer than maxEvents; changed only through logEvent.
  const ObservableProperty<std::vector<LogEvent>>& events() const {
    assertOnMainThread();
    return events_;
  }

  // Zeroes the counters (including the client counts), clears the displays and the active display, and puts
  // the placeholder back into the last command, last error and last frame description.
  void resetSessionCounters();

  // Appends an event (fresh UUID, now, the category's name as tag) and keeps the newest maxEvents.
  void logEvent(LogCategory category, std::string message);

  // The first IPv4 address of an interface that is up, running and not loopback, skipping "127." addresses and
  // preferring interface names beginning "en"; nullopt when there is none.
  static std::optional<std::string> localIPv4Address();
  static std::optional<std::string> localIPv4Address(const std::vector<InterfaceAddress>& interfaces);

 private:
  ObservableProperty<std::vector<LogEvent>> events_;
};

}  // namespace veltrano
