#pragma once
// Keeps the host's `launchAtLogin` flag in step with the login item, changes the login item at the user's
// request and reports every outcome to product analytics ("server_launch_at_login"). Main thread; synchronous.
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "core/analytics_event.hpp"
#include "core/metrics_store.hpp"
#include "core/observable_property.hpp"
#include "host/login_item_service.hpp"

namespace veltrano {

class LaunchAtLogin {
 public:
  using InstallCheck = std::function<bool()>;
  using Tracker = std::function<void(AnalyticsEvent event, std::optional<std::string> detail)>;

  // Operates on `launchAtLogin` and `metrics`, which must outlive it, and reports through `track`; reads the
  // status into the flag at once (no analytics event). `isInstalled` defaults to the running executable's
  // install check.
  LaunchAtLogin(ObservableProperty<bool>& launchAtLogin, std::unique_ptr<LoginItemService> service,
                MetricsStore& metrics, Tracker track, InstallCheck isInstalled = {});

  // Sets the flag from the status without an analytics event (construction and launch preparation).
  void readStatus();
  // Sets the flag from the status and reports "enabled" or "disabled" when it changed.
  void refreshLaunchAtLoginStatus();
  void setLaunchAtLogin(bool wanted);
  bool isInstalledInApplicationsFolder() const;

 private:
  bool readEnabled();
  void report(const char* outcome);
  void close(bool enabling);
  void fail(bool enabling, const std::string& description);

  ObservableProperty<bool>& launchAtLogin_;
  std::unique_ptr<LoginItemService> service_;
  MetricsStore& metrics_;
  Tracker track_;
  InstallCheck isInstalled_;
};

}  // namespace veltrano
