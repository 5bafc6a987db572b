// The one place that knows the host view model: HostControls over HostViewModel.
#include <memory>
#include <vector>

#include "app/host_controls.hpp"
#include "core/metrics_store.hpp"
#include "host/host_view_model.hpp"

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
  return std::make_unique<HostViewModelControls>(std::move(options));
}

}  // namespace veltrano::app
