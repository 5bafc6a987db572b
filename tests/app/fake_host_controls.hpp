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

  // The pages' values beyond HostState; the flags HostState holds come from `current`.
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
    return view;
  }
  std::vector<MetricsStore::LogEvent> events() const override { return metrics.events()(); }
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
  void setLaunchAtLogin(bool on) override {
    calls.push_back(on ? "launchAtLogin(on)" : "launchAtLogin(off)");
    current.launchAtLogin = on && launchAtLoginRegisters;
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
