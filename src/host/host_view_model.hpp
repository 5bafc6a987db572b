#pragma once
// HostViewModel: the one model of the host. It lives on the main thread, owns every service that runs and every
// background task of the host, and sequences them: the permission gate and automatic start, the start-up of all
// local servers and display sessions in a fixed order, and the stop with its ordered teardown.
//
// Observed properties notify only when a value changes (task handles compare by task identity); the ones that
// hold servers, display sessions or the start-up's bundle notify on every assignment. Tasks and callbacks that
// the model installs hold it weakly and carry the lifecycle generation of the start that installed them.
#include <boost/asio/awaitable.hpp>
#include <array>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "base/actor.hpp"
#include "base/clock.hpp"
#include "control/input_command_handler.hpp"
#include "control/main_thread_owned.hpp"
#include "core/analytics_event.hpp"
#include "core/display_info.hpp"
#include "core/log_category.hpp"
#include "core/log_throttle.hpp"
#include "core/observable_property.hpp"
#include "core/permission_manager.hpp"
#include "core/webrtc_route.hpp"
#include "host/host_services.hpp"
#include "host/launch_at_login.hpp"
#include "host/local_server_resources.hpp"
#include "host/server_startup_error.hpp"
#include "host/task_handle.hpp"
#include "remote/remote_host_coordinator.hpp"

namespace veltrano {

class FilePanelPresenter;
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
    std::unique_ptr<LoginItemService> loginItems;      // none: the XDG autostart entry of this executable
    LaunchAtLogin::InstallCheck isInstalled;           // none: whether this executable is the installed copy
  };

  static constexpr std::uint16_t firstDisplayVideoPort = 9100;
  static constexpr Clock::Duration bonjourTimeout = std::chrono::seconds(5);
  static constexpr Clock::Duration permissionPollInterval = std::chrono::milliseconds(500);
  static constexpr int displayLoadAttempts = 5;
  static constexpr Clock::Duration idleCaptureStopDelay = std::chrono::seconds(2);
  // Before retry attempt n the wait at index min(n, 5).
  static constexpr std::array<Clock::Duration, 6> captureRetryDelays = {
      std::chrono::milliseconds(500), std::chrono::seconds(1),  std::chrono::seconds(2),
      std::chrono::seconds(5),        std::chrono::seconds(10), std::chrono::seconds(15)};
  static constexpr Clock::Duration permissionSettleWait = std::chrono::milliseconds(700);
  static constexpr int permissionSettleWaits = 3;
  static constexpr Clock::Duration metricsLogInterval = std::chrono::seconds(3);

  // Main thread. Creating the model starts nothing and queries no permission.
  static std::shared_ptr<HostViewModel> create();
  static std::shared_ptr<HostViewModel> create(Options options);
  HostViewModel(const HostViewModel&) = delete;
  HostViewModel& operator=(const HostViewModel&) = delete;

  // --- State ---
  const std::shared_ptr<MetricsStore> metrics;
  const std::shared_ptr<PermissionManaging> permissions;
  const DisplaysProvider availableDisplaysProvider;
  const std::shared_ptr<InputController> inputController;
  // Created on first use, with the injector and the metrics store and nothing wired.
  const std::shared_ptr<InputCommandHandler>& commandHandler();
  const std::shared_ptr<RemoteFileTransferCoordinator> fileTransfers;
  // Read only: only the model's own operations below change these.
  const std::shared_ptr<RemoteHostCoordinator>& remoteCoordinator() const { return remoteCoordinator_; }
  const ObservableProperty<std::shared_ptr<HostControlServer>>& server() const { return server_; }
  const ObservableProperty<std::shared_ptr<HostAudioServer>>& audioServer() const { return audioServer_; }
  const ObservableProperty<std::shared_ptr<HostFileServer>>& fileServer() const { return fileServer_; }
  const ObservableProperty<std::shared_ptr<HostBonjourPublisher>>& bonjour() const { return bonjour_; }
  const ObservableProperty<DisplaySessions>& displaySessions() const { return displaySessions_; }
  const ObservableProperty<TaskHandle>& metricsTask() const { return metricsTask_; }
  const ObservableProperty<TaskHandle>& startupTask() const { return startupTask_; }
  const ObservableProperty<TaskHandle>& shutdownTask() const { return shutdownTask_; }
  const ObservableProperty<std::optional<LocalServerResources>>& startupResources() const { return startupResources_; }
  const ObservableProperty<std::uint64_t>& lifecycleGeneration() const { return lifecycleGeneration_; }
  const ObservableProperty<TaskHandle>& captureTransitionTask() const { return captureTransitionTask_; }
  const ObservableProperty<std::map<std::uint32_t, TaskHandle>>& captureRetryTasks() const {
    return captureRetryTasks_;
  }
  const ObservableProperty<TaskHandle>& mediaProfileTask() const { return mediaProfileTask_; }
  const ObservableProperty<TaskHandle>& permissionPollTask() const { return permissionPollTask_; }
  bool pendingAutomaticStart() const { return pendingAutomaticStart_; }
  bool hasRequestedScreenRecording() const { return hasRequestedScreenRecording_; }
  const ObservableProperty<std::int64_t>& localControlClientCount() const { return localControlClientCount_; }
  const ObservableProperty<std::int64_t>& remoteConnectedClientCount() const { return remoteConnectedClientCount_; }
  const ObservableProperty<bool>& wantsCapture() const { return wantsCapture_; }
  const ObservableProperty<bool>& isCaptureActive() const { return isCaptureActive_; }
  const ObservableProperty<std::set<std::uint32_t>>& activeCaptureDisplayIDs() const {
    return activeCaptureDisplayIDs_;
  }
  const ObservableProperty<bool>& captureTransitionInProgress() const { return captureTransitionInProgress_; }
  const ObservableProperty<std::string>& remoteAccessStatus() const { return remoteAccessStatus_; }
  const ObservableProperty<std::vector<WebRTCRoute>>& remoteConnectionRoutes() const { return remoteConnectionRoutes_; }
  const ObservableProperty<bool>& requiresPermissionGate() const { return requiresPermissionGate_; }
  const ObservableProperty<bool>& showScreenRecordingRecoveryHelp() const { return showScreenRecordingRecoveryHelp_; }
  const ObservableProperty<bool>& hasResolvedPermissions() const { return hasResolvedPermissions_; }
  const ObservableProperty<bool>& isStarting() const { return isStarting_; }
  const ObservableProperty<bool>& launchAtLogin() const { return launchAtLogin_; }

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

  // --- Capture on demand ---
  // Capture is wanted while the host runs with a control client or a remote peer: starts it, or stops it
  // idleCaptureStopDelay after the last one left.
  void updateCaptureDemand();
  // The display description while capture is paused.
  std::string captureWaitingDisplayText() const;

  // --- Clients, routes and status texts ---
  // Remote access's callbacks; each does nothing for an older start-up's generation.
  void updateRemoteClientCount(std::int64_t count, std::uint64_t generation);
  void updateRemoteAccessStatus(const std::string& status, std::uint64_t generation);
  // Also applies the media profile of the routes to every display.
  void updateRemoteRoutes(std::vector<WebRTCRoute> routes, std::uint64_t generation);
  std::string connectionRouteSummary() const;
  // The coordinator's status, route and count callbacks, for this start-up's generation.
  void installRemoteCoordinatorCallbacks(RemoteHostCoordinator& coordinator, std::uint64_t generation);
  std::string mediaPathDescription() const;

  // --- Launch at login ---
  void setLaunchAtLogin(bool wanted);
  void refreshLaunchAtLoginStatus();
  bool isInstalledInApplicationsFolder() const;

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
  void startRemoteAccess(std::uint64_t generation);
  static asio::awaitable<void> updateLocalClientCount(Weak weak, std::uint64_t generation, std::int64_t count);
  HostCaptureService::StopHandler captureStopHandler(const DisplaySession& session, std::uint64_t generation);
  std::string bonjourServiceName() const;
  bool readScreenRecording();
  void detachCommandHandler();

  // Stop (host_stop.cpp).
  std::optional<LocalServerResources> currentLocalServerResources() const;
  static asio::awaitable<void> runShutdown(Task previousShutdown, Task transition, std::vector<Task> retries,
                                           Task mediaProfile, Task remoteStop, LocalServerResources bundle);
  // Takes the coordinator out and stops it with no callback left; the work its stop started.
  Task stopRemoteAccess();

 public:
  // Closes the bundle's servers and captures in their order, once however many callers ask; later callers
  // wait for the first closing.
  static asio::awaitable<void> tearDownResources(LocalServerResources bundle);

 private:
  static asio::awaitable<void> closeResources(LocalServerResources bundle);

  // Capture on demand (capture_demand.cpp, capture_retry.cpp).
  void beginCaptureTransition(bool start);
  static asio::awaitable<void> runCaptureTransition(Weak weak, bool start, std::uint64_t generation,
                                                    std::vector<DisplaySession> sessions,
                                                    std::uint32_t activeDisplayID, TaskToken token);
  void recordCaptureTransition(bool start, std::uint64_t generation, std::set<std::uint32_t> started,
                               std::uint32_t activeDisplayID,
                               const std::vector<std::pair<DisplaySession, std::string>>& failures);
  static asio::awaitable<void> runIdleCaptureStop(Weak weak, std::uint64_t generation, Clock* clock, TaskToken token);
  static asio::awaitable<void> handleCaptureStopped(Weak weak, ScreenCaptureFailure failure,
                                                    std::shared_ptr<HostCaptureService> capture,
                                                    std::uint64_t generation);
  // Both permissions read without prompting, with their log lines; Accessibility only when Screen Recording is.
  bool quietPermissionCheck();
  void scheduleCaptureRetry(const DisplaySession& session, std::uint64_t generation);
  static asio::awaitable<void> runCaptureRetry(Weak weak, DisplaySession session, std::uint64_t generation,
                                               Clock* clock, TaskToken token);
  static asio::awaitable<void> undoCaptureStart(Weak weak, DisplaySession session, std::uint64_t generation,
                                                TaskToken token);
  bool retryMayStart(const DisplaySession& session, std::uint64_t generation, const TaskToken& token) const;
  void forgetCaptureRetry(std::uint32_t displayID, const TaskToken& token);
  void setActiveCaptureDisplays(std::set<std::uint32_t> displayIDs);
  void recordCaptureFailure(std::uint32_t displayID, const std::string& description);
  // Whether the table still holds this capture service for the display.
  bool holdsCapture(std::uint32_t displayID, const std::shared_ptr<HostCaptureService>& capture) const;
  static asio::awaitable<void> refreshDisplayInfo(Weak weak, std::uint32_t displayID,
                                                  std::shared_ptr<HostCaptureService> capture,
                                                  std::uint64_t generation);
  std::string displayName(std::uint32_t displayID) const;
  // Points input at a display frame; an empty frame (a display that went away) changes nothing.
  void pointInputAt(const DisplayFrame& frame);

  // Media profile (media_profile.cpp).
  void applyRemoteMediaProfile(const std::vector<WebRTCRoute>& routes, std::uint64_t generation);
  static asio::awaitable<void> runMediaProfile(Weak weak, Task previous, std::uint64_t generation,
                                               std::vector<DisplaySession> sessions, MediaProfile profile,
                                               std::uint32_t activeDisplayID, TaskToken token);
  void endMediaProfileTask(const TaskToken& token);

  // Client counts and metrics line (client_status.cpp).
  void reportClientCountDelta(std::int64_t from, std::int64_t to, const char* route) const;
  void startMetricsTask(std::uint64_t generation);
  static asio::awaitable<void> runMetricsLog(Weak weak, std::uint64_t generation, Clock* clock, TaskToken token);

  // Quality and display changes (stream_changes.cpp).
  InputCommandHandler::HostCallbacks commandHandlerCallbacks();
  void applyQualityToAllEncoders(std::int64_t bitRate, std::int32_t frameRate);
  static asio::awaitable<void> applyQuality(DisplaySession session, std::shared_ptr<AsyncMutex> queue,
                                            std::shared_ptr<LogThrottle> requestLog,
                                            std::int64_t bitRate, std::int32_t frameRate);
  void requestKeyframeOnAllEncoders();
  void handleDisplayChange(std::uint32_t displayID);
  static asio::awaitable<void> followDisplayChange(Weak weak, DisplaySession session, std::uint64_t generation);

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

  // --- State, in declaration order ---
  // Remote access of the running host: made when a start-up commits, dropped at stop.
  std::shared_ptr<RemoteHostCoordinator> remoteCoordinator_;
  ObservableProperty<std::shared_ptr<HostControlServer>> server_;     // notifies on every assignment
  ObservableProperty<std::shared_ptr<HostAudioServer>> audioServer_;  // notifies on every assignment
  ObservableProperty<std::shared_ptr<HostFileServer>> fileServer_;    // notifies on every assignment
  ObservableProperty<std::shared_ptr<HostBonjourPublisher>> bonjour_;
  ObservableProperty<DisplaySessions> displaySessions_;  // notifies on every assignment
  ObservableProperty<TaskHandle> metricsTask_;
  ObservableProperty<TaskHandle> startupTask_;
  ObservableProperty<TaskHandle> shutdownTask_;
  ObservableProperty<std::optional<LocalServerResources>> startupResources_;  // notifies on every assignment
  ObservableProperty<std::uint64_t> lifecycleGeneration_{0};
  ObservableProperty<TaskHandle> captureTransitionTask_;
  ObservableProperty<std::map<std::uint32_t, TaskHandle>> captureRetryTasks_;
  ObservableProperty<TaskHandle> mediaProfileTask_;
  ObservableProperty<TaskHandle> permissionPollTask_;
  bool didPrepareForLaunch_ = false;
  bool permissionOnboardingCompleted_ = false;
  bool pendingAutomaticStart_ = false;
  bool hasRequestedScreenRecording_ = false;
  ObservableProperty<TaskHandle> idleCaptureStopTask_;
  ObservableProperty<std::int64_t> localControlClientCount_{0};
  ObservableProperty<std::int64_t> remoteConnectedClientCount_{0};
  ObservableProperty<bool> wantsCapture_{false};
  ObservableProperty<bool> isCaptureActive_{false};
  ObservableProperty<std::set<std::uint32_t>> activeCaptureDisplayIDs_;
  ObservableProperty<bool> captureTransitionInProgress_{false};
  ObservableProperty<std::string> remoteAccessStatus_;
  ObservableProperty<std::vector<WebRTCRoute>> remoteConnectionRoutes_;
  ObservableProperty<bool> requiresPermissionGate_{false};
  ObservableProperty<bool> showScreenRecordingRecoveryHelp_{false};
  ObservableProperty<bool> hasResolvedPermissions_{false};
  ObservableProperty<bool> isStarting_{false};
  ObservableProperty<bool> launchAtLogin_{false};

  const std::shared_ptr<HostServiceFactory> services_;
  Clock& clock_;
  // The lines of what clients ask for (quality, display): a client could otherwise flood the log.
  const std::shared_ptr<LogThrottle> requestLog_ = std::make_shared<LogThrottle>(clock_);
  const AnalyticsTracker track_;
  const std::function<std::string()> computerName_;
  std::shared_ptr<InputCommandHandler> commandHandler_;
  // The start-up that wired the command handler to its servers; none while it is detached.
  std::optional<std::uint64_t> commandHandlerGeneration_;
  // The displays whose capture stopped by itself since the running transition began.
  std::set<std::uint32_t> stoppedDuringTransition_;
  // Per display: quality changes reach the encoder and the capture in the order they were asked.
  std::map<std::uint32_t, std::shared_ptr<AsyncMutex>> qualityQueues_;
  LaunchAtLogin loginItem_;
};

// Stores `value` and notifies, even when it equals the stored one.
template <class T>
void assignAndNotify(ObservableProperty<T>& property, T value) {
  property.mutate([&value](T& stored) { stored = std::move(value); });
}

}  // namespace veltrano
