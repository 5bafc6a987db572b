#pragma once
// A host the shell can be driven against: its state is set by the test, its commands are recorded, and its
// waits end when the test says so.
#include <string>
#include <vector>

#include "app/host_controls.hpp"
#include "base/continuation.hpp"

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

  void set(const app::HostState& state) {
    current = state;
    notify();
  }

  app::HostState state() const override { return current; }
  Subscription observe(std::function<void()> changed) override {
    changed_ = std::move(changed);
    ++observers;
    return Subscription([this] {
      changed_ = nullptr;
      --observers;
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
    if (changed_) changed_();
  }
  std::function<void()> changed_;
};

}  // namespace veltrano::testing
