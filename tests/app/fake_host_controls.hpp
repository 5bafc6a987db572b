#pragma once
// A host the shell can be driven against: its state is set by the test, its commands are recorded, and its
// waits end when the test says so.
#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include "app/host_controls.hpp"
#include "base/continuation.hpp"
#include "core/metrics_store.hpp"

namespace veltrano::testing {

class FakeHostControls final : public app::HostControls {
 public:
  app::HostState current;
  std::vector<std::string> calls;
  // What setLaunchAtLogin(true) ends with (a refused registration leaves it off).
  bool launchAtLoginRegisters = true;
  Continuation<> shutdown;      // resumed by the test, or never
  Continuation<> preparation;   // resumed by the test
  int observers = 0;
  std::function<void(const FakeHostControls&)> onDestroyed;

  ~FakeHostControls() override {
    if (onDestroyed) onDestroyed(*this);
  }

  // The pages' values beyond HostState: what the test gives of them. The flags, the permissions, the counts
  // and the texts the host derives from the counts follow `current`, as they do in the host.
  app::HostView pagesView;
  // A real store for the activity log.
  MetricsStore metrics;

  void set(const app::HostState& state) {
    current = state;
    notify();
  }
  void setView(const app::HostView& view) {
    pagesView = view;
    current.isRunning = view.isRunning;
    current.isStarting = view.isStarting;
    current.isCapturing = view.isCapturing;
    current.launchAtLogin = view.launchAtLogin;
    current.connectedDevices = view.deviceCount();
    current.screenRecordingStatus = view.screenRecordingStatus;
    current.accessibilityStatus = view.accessibilityStatus;
    current.port = view.port;
    notify();
  }

  app::HostState state() const override { return current; }
  Subscription observe(std::function<void()> changed) override {
    const int id = nextObserver_++;
    changed_[id] = std::move(changed);
    ++observers;
    return Subscription([this, id] {
      changed_.erase(id);
      --observers;
    });
  }
  app::HostView view() const override {
    app::HostView view = pagesView;
    view.isRunning = current.isRunning;
    view.isStarting = current.isStarting;
    view.isCapturing = current.isCapturing;
    view.launchAtLogin = current.launchAtLogin;
    view.screenRecordingStatus = current.screenRecordingStatus;
    view.accessibilityStatus = current.accessibilityStatus;
    view.port = current.port;
    // The connected devices: as many remote ones as the view names, the others local control clients.
    view.remoteConnectedClients = std::min(pagesView.remoteConnectedClients, current.connectedDevices);
    view.localControlClients = current.connectedDevices - view.remoteConnectedClients;
    view.connectedClients = view.localControlClients;
    // The texts the host view model makes of them.
    std::vector<std::string> routes;
    if (view.connectedClients >= 1) routes.push_back("LAN (TCP)");
    if (view.remoteConnectedClients >= 1) routes.push_back("LAN (P2P)");
    view.connectionRouteSummary = routes.empty() ? "No clients" : routes.front();
    if (routes.size() > 1) view.connectionRouteSummary += " + " + routes.back();
    view.mediaPathDescription = "Local network";
    if (view.remoteAccessStatus.empty()) view.remoteAccessStatus = "Remote access is off";
    return view;
  }
  // Events with fixed times, shown instead of the store's when there are any.
  std::vector<MetricsStore::LogEvent> presetEvents;
  std::vector<MetricsStore::LogEvent> events() const override {
    return presetEvents.empty() ? metrics.events()() : presetEvents;
  }
  Subscription observeView(std::function<void()> changed) override {
    auto log = std::make_shared<Subscription>(metrics.events().observe([changed](const auto&) { changed(); }));
    auto state = std::make_shared<Subscription>(observe(std::move(changed)));
    return Subscription([log, state] {
      log->reset();
      state->reset();
    });
  }
  void startServer() override { calls.push_back("start"); }
  void stopServer() override { calls.push_back("stop"); }
  // What a refused registration writes to the last error, when anything.
  std::string launchAtLoginError;
  void setLaunchAtLogin(bool on) override {
    calls.push_back(on ? "launchAtLogin(on)" : "launchAtLogin(off)");
    current.launchAtLogin = on && launchAtLoginRegisters;
    if (on && !launchAtLoginRegisters && !launchAtLoginError.empty()) pagesView.lastError = launchAtLoginError;
    notify();
  }
  void refreshLaunchAtLoginStatus() override { calls.push_back("refreshLaunchAtLogin"); }
  void completePermissionOnboarding() override { calls.push_back("completeOnboarding"); }
  void requestScreenRecordingPermission() override { calls.push_back("requestScreenRecording"); }
  void requestAccessibilityPermission() override { calls.push_back("requestAccessibility"); }
  void startPermissionPolling() override { calls.push_back("startPolling"); }
  void stopPermissionPolling() override { calls.push_back("stopPolling"); }
  asio::awaitable<void> prepareForLaunch(bool onboardingCompleted) override {
    calls.push_back(onboardingCompleted ? "prepare(completed)" : "prepare(new)");
    co_await preparation.wait();
  }
  asio::awaitable<void> refreshPermissions() override {
    calls.push_back("refreshPermissions");
    co_return;
  }
  asio::awaitable<void> shutdownFinished() override { co_await shutdown.wait(); }

 private:
  void notify() {
    for (const auto& [id, changed] : std::map(changed_)) changed();
  }
  std::map<int, std::function<void()>> changed_;
  int nextObserver_ = 0;
};

}  // namespace veltrano::testing
