#pragma once
// HostViewModel: the one model of the host. It lives on the main thread, owns every service that runs and every
// background task of the host, and sequences them: the permission gate and automatic start, the start-up of all
// local servers and display sessions in a fixed order, and the stop with its ordered teardown.
//
// Observed properties notify only when a value changes (task handles compare by task identity); the ones that
// hold servers, display sessions or the start-up's bundle notify on every assignment. Tasks and callbacks that
// the model installs hold it weakly and carry the lifecycle generation of the start that installed them.
#include <boost/asio/awaitable.hpp>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "base/clock.hpp"
#include "control/main_thread_owned.hpp"
#include "core/analytics_event.hpp"
#include "core/display_info.hpp"
#include "core/log_category.hpp"
#include "core/observable_property.hpp"
#include "core/permission_manager.hpp"
#include "core/webrtc_route.hpp"
#include "host/host_services.hpp"
#include "host/local_server_resources.hpp"
#include "host/server_startup_error.hpp"
#include "host/task_handle.hpp"

namespace veltrano {

class FilePanelPresenter;
class InputCommandHandler;
class InputController;
class MetricsStore;
class RemoteFileTransferCoordinator;

class HostViewModel : public std::enable_shared_from_this<HostViewModel> {
 public:
  using DisplaysProvider =
      std::function<asio::awaitable<std::vector<DisplayInfo>>(std::shared_ptr<MetricsStore> metrics)>;
  using AnalyticsTracker = std::function<void(AnalyticsEvent event, std::optional<std::string> detail)>;

  struct Options {
    std::shared_ptr<PermissionManaging> permissions;   // none: a PermissionManager with the system's checks
    DisplaysProvider availableDisplaysProvider;        // none: a capture service lists the displays
    std::shared_ptr<HostServiceFactory> services;      // none: the real services
    Clock* clock = nullptr;                            // the model's waits; null: the system clock
    AnalyticsTracker track;                            // none: nothing is reported
    std::shared_ptr<InputController> inputController;  // none: a new injector
    std::shared_ptr<FilePanelPresenter> filePanels;    // the application's open and save panels
    std::function<std::string()> computerName;         // none: the pretty host name, else the host name
    std::function<bool()> isLaunchAtLoginEnabled;      // none: never enabled
  };

  static constexpr std::uint16_t port = 9090;
  static constexpr std::uint16_t videoPort = 9091;  // reported when a display has no session
  static constexpr std::uint16_t audioPort = 9092;
  static constexpr std::uint16_t filePort = 9093;
  static constexpr std::uint16_t firstDisplayVideoPort = 9100;
  static constexpr Clock::Duration bonjourTimeout = std::chrono::seconds(5);
  static constexpr Clock::Duration permissionPollInterval = std::chrono::milliseconds(500);
  static constexpr int displayLoadAttempts = 5;

  // Main thread. Creating the model starts nothing and queries no permission.
  static std::shared_ptr<HostViewModel> create();
  static std::shared_ptr<HostViewModel> create(Options options);
  HostViewModel(const HostViewModel&) = delete;
  HostViewModel& operator=(const HostViewModel&) = delete;

  // --- State, in declaration order ---
  const std::shared_ptr<MetricsStore> metrics;
  const std::shared_ptr<PermissionManaging> permissions;
  const DisplaysProvider availableDisplaysProvider;
  const std::shared_ptr<InputController> inputController;
  // Created on first use, with the injector and the metrics store and nothing wired.
  const std::shared_ptr<InputCommandHandler>& commandHandler();
  const std::shared_ptr<RemoteFileTransferCoordinator> fileTransfers;
  ObservableProperty<std::shared_ptr<HostControlServer>> server;     // notifies on every assignment
  ObservableProperty<std::shared_ptr<HostAudioServer>> audioServer;  // notifies on every assignment
  ObservableProperty<std::shared_ptr<HostFileServer>> fileServer;    // notifies on every assignment
  ObservableProperty<std::shared_ptr<HostBonjourPublisher>> bonjour;
  ObservableProperty<DisplaySessions> displaySessions;  // notifies on every assignment
  ObservableProperty<TaskHandle> metricsTask;
  ObservableProperty<TaskHandle> startupTask;
  ObservableProperty<TaskHandle> shutdownTask;
  ObservableProperty<std::optional<LocalServerResources>> startupResources;  // notifies on every assignment
  ObservableProperty<std::uint64_t> lifecycleGeneration{0};
  ObservableProperty<TaskHandle> captureTransitionTask;
  ObservableProperty<std::map<std::uint32_t, TaskHandle>> captureRetryTasks;
  ObservableProperty<TaskHandle> mediaProfileTask;
  ObservableProperty<TaskHandle> permissionPollTask;
  bool didPrepareForLaunch = false;
  bool permissionOnboardingCompleted = false;
  bool pendingAutomaticStart = false;
  bool hasRequestedScreenRecording = false;
  ObservableProperty<TaskHandle> idleCaptureStopTask;
  ObservableProperty<std::int64_t> localControlClientCount{0};
  ObservableProperty<std::int64_t> remoteConnectedClientCount{0};
  ObservableProperty<bool> wantsCapture{false};
  ObservableProperty<bool> isCaptureActive{false};
  ObservableProperty<std::set<std::uint32_t>> activeCaptureDisplayIDs;
  ObservableProperty<bool> captureTransitionInProgress{false};
  ObservableProperty<std::string> remoteAccessStatus;
  ObservableProperty<std::vector<WebRTCRoute>> remoteConnectionRoutes;
  ObservableProperty<bool> requiresPermissionGate{false};
  ObservableProperty<bool> showScreenRecordingRecoveryHelp{false};
  ObservableProperty<bool> hasResolvedPermissions{false};
  ObservableProperty<bool> isStarting{false};
  ObservableProperty<bool> launchAtLogin{false};

  // The session of a display; none when it has none.
  std::optional<DisplaySession> displaySession(std::uint32_t displayID) const;

  // --- Start-up ---
  // Returns at once; the work runs in the start-up task.
  void startServer();

  // --- Stop ---
  // Returns at once; the servers close in the shutdown task, which the next start waits for.
  void stopServer(bool keepAutostart);

  // --- Permission gate and automatic start ---
  bool hasAllPermissions() const;
  asio::awaitable<void> prepareForLaunch(bool onboardingCompleted);
  asio::awaitable<void> refreshPermissions();
  void completePermissionOnboarding();
  void startPermissionPolling();
  // The onboarding view ends the poll when it goes away.
  void cancelPermissionPolling();
  void requestAccessibilityPermission();
  void requestScreenRecordingPermission();

 private:
  using Weak = std::weak_ptr<HostViewModel>;
  template <class U, class... A>
  friend std::shared_ptr<U> makeMainThreadOwned(A&&...);
  explicit HostViewModel(Options options);

  // Start-up (host_startup.cpp).
  static asio::awaitable<void> runStartup(Weak weak, std::uint64_t generation, Task previousShutdown, TaskToken token);
  static asio::awaitable<void> startLocalServices(Weak weak, std::uint64_t generation, TaskToken token);
  static asio::awaitable<std::vector<DisplayInfo>> loadAvailableDisplays(Weak weak, TaskToken token);
  static asio::awaitable<void> handleStartupFailure(Weak weak, std::uint64_t generation,
                                                    std::optional<LocalServerResources> bundle,
                                                    std::optional<ServerStartupError> error);
  // The model when it is there, the start still current and its task not cancelled; else CancellationError.
  static std::shared_ptr<HostViewModel> checkedStartup(const Weak& weak, std::uint64_t generation,
                                                       const TaskToken& token);
  LocalServerResources buildResources(std::uint64_t generation, const std::vector<DisplayInfo>& displays,
                                      std::uint32_t activeDisplayID);
  void publishDisplayState(const std::vector<DisplayInfo>& displays, const DisplaySessions& sessions,
                           std::uint32_t activeDisplayID);
  void installLocalServers(const LocalServerResources& bundle, std::uint32_t activeDisplayID);
  void commitStartup(std::uint64_t generation);
  static asio::awaitable<void> updateLocalClientCount(Weak weak, std::uint64_t generation, std::int64_t count);
  std::string bonjourServiceName() const;
  bool readScreenRecording();
  void detachCommandHandler();

  // Stop (host_stop.cpp).
  std::optional<LocalServerResources> currentLocalServerResources() const;
  static asio::awaitable<void> runShutdown(Task previousShutdown, Task transition, std::vector<Task> retries,
                                           Task mediaProfile, LocalServerResources bundle);

 public:
  // Closes the bundle's servers and captures in their order, once however many callers ask; later callers
  // wait for the first closing.
  static asio::awaitable<void> tearDownResources(LocalServerResources bundle);

 private:
  static asio::awaitable<void> closeResources(LocalServerResources bundle);

  // Permission gate (permission_gate.cpp).
  bool readAccessibility();
  void applyPermissionRefresh();
  static asio::awaitable<void> refreshOnMain(Weak weak);
  static asio::awaitable<void> followUpRefresh(std::shared_ptr<HostViewModel> self, Clock::Duration delay, Clock* clock,
                                               TaskToken token);
  static asio::awaitable<void> pollPermissions(Weak weak, TaskToken token, Clock* clock);
  void startPermissionFollowUp(Clock::Duration delay);

  void track(AnalyticsEvent event, std::optional<std::string> detail = std::nullopt) const;
  Task spawnOnMain(Task::Body body) const;

  const std::shared_ptr<HostServiceFactory> services_;
  Clock& clock_;
  const AnalyticsTracker track_;
  const std::function<std::string()> computerName_;
  const std::function<bool()> isLaunchAtLoginEnabled_;
  std::shared_ptr<InputCommandHandler> commandHandler_;
};

// Stores `value` and notifies, even when it equals the stored one.
template <class T>
void assignAndNotify(ObservableProperty<T>& property, T value) {
  property.mutate([&value](T& stored) { stored = std::move(value); });
}

}  // namespace veltrano
