// The one place that knows the host view model: HostControls over HostViewModel.
#include <memory>
#include <vector>

#include "app/host_controls.hpp"
#include "app/qt_string_defaults.hpp"
#include "core/metrics_store.hpp"
#include "host/host_view_model.hpp"
#include "host/real_host_services.hpp"

namespace veltrano::app {

namespace {

class HostViewModelControls final : public HostControls {
 public:
  explicit HostViewModelControls(HostViewModel::Options options) : model_(HostViewModel::create(std::move(options))) {}

  HostSnapshot snapshot() const override {
    const auto& m = *model_->metrics;
    HostSnapshot s;
    s.isRunning = m.isRunning();
    s.isStarting = model_->isStarting().get();
    s.isCapturing = m.isCapturing();
    s.launchAtLogin = model_->launchAtLogin().get();
    s.hasResolvedPermissions = model_->hasResolvedPermissions().get();
    s.requiresPermissionGate = model_->requiresPermissionGate().get();
    s.hasAllPermissions = model_->hasAllPermissions();
    s.showScreenRecordingRecoveryHelp = model_->showScreenRecordingRecoveryHelp().get();
    s.localControlClients = model_->localControlClientCount().get();
    s.remoteConnectedClients = model_->remoteConnectedClientCount().get();
    s.localIP = m.localIP();
    s.connectionRouteSummary = model_->connectionRouteSummary();
    s.mediaPathDescription = model_->mediaPathDescription();
    s.remoteAccessStatus = model_->remoteAccessStatus().get();
    s.displayInfo = m.displayInfo();
    s.availableDisplays = static_cast<std::int64_t>(m.availableDisplays().size());
    s.screenRecordingStatus = m.screenRecordingStatus();
    s.accessibilityStatus = m.accessibilityStatus();
    s.lastError = m.lastError();
    s.lastCommand = m.lastCommand();
    s.lastFrameDescription = m.lastFrameDescription();
    s.port = m.port();
    s.videoPort = m.videoPort();
    s.audioPort = m.audioPort();
    s.fps = m.fps();
    s.capturedFrames = m.capturedFrames();
    s.connectedClients = m.connectedClients();
    s.videoClients = m.videoClients();
    s.encodedFrames = m.encodedFrames();
    s.keyframes = m.keyframes();
    s.encodeMs = m.encodeMs();
    s.videoBytesSent = m.videoBytesSent();
    s.videoFramesDropped = m.videoFramesDropped();
    s.audioClients = m.audioClients();
    s.audioFrames = m.audioFrames();
    s.audioBytesSent = m.audioBytesSent();
    s.audioFramesDropped = m.audioFramesDropped();
    s.bytesSent = m.bytesSent();
    s.bytesReceived = m.bytesReceived();
    s.averagePingMs = m.averagePingMs();
    return s;
  }

  std::vector<MetricsStore::LogEvent> events() const override { return model_->metrics->events()(); }

  Subscription observe(std::function<void()> changed) override {
    auto subscriptions = std::make_shared<std::vector<Subscription>>();
    const auto& m = *model_->metrics;
    auto add = [&](const auto&... properties) {
      (subscriptions->push_back(properties.observe([changed](const auto&) { changed(); })), ...);
    };
    add(m.isRunning, m.isCapturing, m.port, m.screenRecordingStatus, m.accessibilityStatus, m.localIP, m.displayInfo,
        m.availableDisplays, m.lastError, m.lastCommand, m.lastFrameDescription, m.videoPort, m.audioPort, m.fps,
        m.capturedFrames, m.connectedClients, m.videoClients, m.encodedFrames, m.keyframes, m.encodeMs,
        m.videoBytesSent, m.videoFramesDropped, m.audioClients, m.audioFrames, m.audioBytesSent, m.audioFramesDropped,
        m.bytesSent, m.bytesReceived, m.averagePingMs, m.events());
    add(model_->isStarting(), model_->launchAtLogin(), model_->hasResolvedPermissions(),
        model_->requiresPermissionGate(), model_->showScreenRecordingRecoveryHelp(), model_->localControlClientCount(),
        model_->remoteConnectedClientCount(), model_->remoteAccessStatus(), model_->remoteConnectionRoutes());
    return Subscription([subscriptions] { subscriptions->clear(); });
  }

  void startServer() override { model_->startServer(); }
  void stopServer() override { model_->stopServer(false); }
  void setLaunchAtLogin(bool on) override { model_->setLaunchAtLogin(on); }
  void refreshLaunchAtLoginStatus() override { model_->refreshLaunchAtLoginStatus(); }
  void completePermissionOnboarding() override { model_->completePermissionOnboarding(); }
  void requestScreenRecordingPermission() override { model_->requestScreenRecordingPermission(); }
  void requestAccessibilityPermission() override { model_->requestAccessibilityPermission(); }
  void startPermissionPolling() override { model_->startPermissionPolling(); }
  void stopPermissionPolling() override {
    if (model_->permissionPollTask().get()) model_->cancelPermissionPolling();
  }
  asio::awaitable<void> prepareForLaunch(bool onboardingCompleted) override {
    co_await model_->prepareForLaunch(onboardingCompleted);
  }
  asio::awaitable<void> refreshPermissions() override { co_await model_->refreshPermissions(); }
  asio::awaitable<void> shutdownFinished() override {
    const Task shutdown = model_->shutdownTask().get().task;
    co_await shutdown.join();
  }

 private:
  std::shared_ptr<HostViewModel> model_;
};

}  // namespace

std::unique_ptr<HostControls> makeHostViewModelControls(HostApplicationServices services) {
  HostViewModel::Options options;
  options.track = std::move(services.track);
  options.filePanels = std::move(services.filePanels);
  RealHostServiceOptions real;
  real.deviceDefaults = std::make_shared<QtStringDefaults>();
  options.services = makeRealHostServiceFactory(std::move(real));
  return std::make_unique<HostViewModelControls>(std::move(options));
}

}  // namespace veltrano::app
