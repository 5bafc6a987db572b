#pragma once
// A host the shell can be driven against: its state is set by the test, its commands are recorded, and its
// waits end when the test says so.
#include <map>
#include <string>
#include <vector>

#include "app/host_controls.hpp"
#include "base/continuation.hpp"
#include "core/metrics_store.hpp"

namespace veltrano::testing {

class FakeHostControls final : public app::HostControls {
 public:
  // What the host shows, as the test sets it. The texts the host derives from the counts follow them, as they do
  // in the host; the console's control client count is the local one.
  app::HostSnapshot current;
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

  // A real store for the activity log.
  MetricsStore metrics;

  void set(const app::HostSnapshot& snapshot) {
    current = snapshot;
    notify();
  }

  app::HostSnapshot snapshot() const override {
    app::HostSnapshot snapshot = current;
    snapshot.connectedClients = snapshot.localControlClients;
    // The texts the host view model makes of the counts.
    std::vector<std::string> routes;
    if (snapshot.connectedClients >= 1) routes.push_back("LAN (TCP)");
    if (snapshot.remoteConnectedClients >= 1) routes.push_back("LAN (P2P)");
    snapshot.connectionRouteSummary = routes.empty() ? "No clients" : routes.front();
    if (routes.size() > 1) snapshot.connectionRouteSummary += " + " + routes.back();
    snapshot.mediaPathDescription = "Local network";
    if (snapshot.remoteAccessStatus.empty()) snapshot.remoteAccessStatus = "Remote access is off";
    return snapshot;
  }
  // Events with fixed times, shown instead of the store's when there are any.
  std::vector<MetricsStore::LogEvent> presetEvents;
  std::vector<MetricsStore::LogEvent> events() const override {
    return presetEvents.empty() ? metrics.events()() : presetEvents;
  }
  Subscription observe(std::function<void()> changed) override {
    const int id = nextObserver_++;
    auto log = std::make_shared<Subscription>(metrics.events().observe([changed](const auto&) { changed(); }));
    changed_[id] = std::move(changed);
    ++observers;
    return Subscription([this, id, log] {
      log->reset();
      changed_.erase(id);
      --observers;
    });
  }
  void startServer() override { calls.push_back("start"); }
  void stopServer() override { calls.push_back("stop"); }
  // What a refused registration writes to the last error, when anything.
  std::string launchAtLoginError;
  void setLaunchAtLogin(bool on) override {
    calls.push_back(on ? "launchAtLogin(on)" : "launchAtLogin(off)");
    current.launchAtLogin = on && launchAtLoginRegisters;
    if (on && !launchAtLoginRegisters && !launchAtLoginError.empty()) current.lastError = launchAtLoginError;
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
