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

  HostState state() const override {
    const auto& metrics = *model_->metrics;
    HostState state;
    state.isRunning = metrics.isRunning();
    state.isStarting = model_->isStarting();
    state.isCapturing = metrics.isCapturing();
    state.launchAtLogin = model_->launchAtLogin();
    state.hasResolvedPermissions = model_->hasResolvedPermissions();
    state.requiresPermissionGate = model_->requiresPermissionGate();
    state.hasAllPermissions = model_->hasAllPermissions();
    state.screenRecordingStatus = metrics.screenRecordingStatus();
    state.accessibilityStatus = metrics.accessibilityStatus();
    state.showScreenRecordingRecoveryHelp = model_->showScreenRecordingRecoveryHelp();
    state.port = metrics.port();
    state.connectedDevices = model_->localControlClientCount() + model_->remoteConnectedClientCount();
    return state;
  }

  Subscription observe(std::function<void()> changed) override {
    auto subscriptions = std::make_shared<std::vector<Subscription>>();
    auto& metrics = *model_->metrics;
    auto add = [&](const auto& property) {
      subscriptions->push_back(property.observe([changed](const auto&) { changed(); }));
    };
    add(metrics.isRunning);
    add(metrics.isCapturing);
    add(metrics.port);
    add(metrics.screenRecordingStatus);
    add(metrics.accessibilityStatus);
    add(model_->isStarting);
    add(model_->launchAtLogin);
    add(model_->hasResolvedPermissions);
    add(model_->requiresPermissionGate);
    add(model_->showScreenRecordingRecoveryHelp);
    add(model_->localControlClientCount);
    add(model_->remoteConnectedClientCount);
    return Subscription([subscriptions] { subscriptions->clear(); });
  }

  HostView view() const override {
    const auto& m = *model_->metrics;
    HostView v;
    v.isRunning = m.isRunning();
    v.isStarting = model_->isStarting();
    v.isCapturing = m.isCapturing();
    v.launchAtLogin = model_->launchAtLogin();
    v.localControlClients = model_->localControlClientCount();
    v.remoteConnectedClients = model_->remoteConnectedClientCount();
    v.localIP = m.localIP();
    v.connectionRouteSummary = model_->connectionRouteSummary();
    v.mediaPathDescription = model_->mediaPathDescription();
    v.remoteAccessStatus = model_->remoteAccessStatus();
    v.displayInfo = m.displayInfo();
    v.availableDisplays = static_cast<std::int64_t>(m.availableDisplays().size());
    v.screenRecordingStatus = m.screenRecordingStatus();
    v.accessibilityStatus = m.accessibilityStatus();
    v.lastError = m.lastError();
    v.lastCommand = m.lastCommand();
    v.lastFrameDescription = m.lastFrameDescription();
    v.port = m.port();
    v.videoPort = m.videoPort();
    v.audioPort = m.audioPort();
    v.fps = m.fps();
    v.capturedFrames = m.capturedFrames();
    v.connectedClients = m.connectedClients();
    v.videoClients = m.videoClients();
    v.encodedFrames = m.encodedFrames();
    v.keyframes = m.keyframes();
    v.encodeMs = m.encodeMs();
    v.videoBytesSent = m.videoBytesSent();
    v.videoFramesDropped = m.videoFramesDropped();
    v.audioClients = m.audioClients();
    v.audioFrames = m.audioFrames();
    v.audioBytesSent = m.audioBytesSent();
    v.audioFramesDropped = m.audioFramesDropped();
    v.bytesSent = m.bytesSent();
    v.bytesReceived = m.bytesReceived();
    v.averagePingMs = m.averagePingMs();
    return v;
  }

  std::vector<MetricsStore::LogEvent> events() const override { return model_->metrics->events()(); }

  Subscription observeView(std::function<void()> changed) override {
    auto subscriptions = std::make_shared<std::vector<Subscription>>();
    subscriptions->push_back(observe(changed));
    const auto& m = *model_->metrics;
    auto add = [&](const auto&... properties) {
      (subscriptions->push_back(properties.observe([changed](const auto&) { changed(); })), ...);
    };
    add(m.localIP, m.displayInfo, m.availableDisplays, m.lastError, m.lastCommand, m.lastFrameDescription,
        m.videoPort, m.audioPort, m.fps, m.capturedFrames, m.connectedClients, m.videoClients, m.encodedFrames,
        m.keyframes, m.encodeMs, m.videoBytesSent, m.videoFramesDropped, m.audioClients, m.audioFrames,
        m.audioBytesSent, m.audioFramesDropped, m.bytesSent, m.bytesReceived, m.averagePingMs, m.events(),
        model_->remoteAccessStatus, model_->remoteConnectionRoutes);
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
    if (model_->permissionPollTask.get()) model_->cancelPermissionPolling();
  }
  asio::awaitable<void> prepareForLaunch(bool onboardingCompleted) override {
    co_await model_->prepareForLaunch(onboardingCompleted);
  }
  asio::awaitable<void> refreshPermissions() override { co_await model_->refreshPermissions(); }
  asio::awaitable<void> shutdownFinished() override {
    const Task shutdown = model_->shutdownTask().task;
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
