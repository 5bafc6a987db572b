#pragma once
// What the application shell reads of the host and asks of it. The window and the menu see the host only
// through this, so they can be driven by a fake in tests; host_view_model_controls.cpp maps it onto the host
// view model. Main thread only.
#include <boost/asio/awaitable.hpp>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/presenters/host_snapshot.hpp"
#include "core/analytics_event.hpp"
#include "core/metrics_store.hpp"
#include "core/observable_property.hpp"

namespace veltrano {
class FilePanelPresenter;
}

namespace veltrano::app {

namespace asio = boost::asio;

using AnalyticsTracker = std::function<void(AnalyticsEvent event, std::optional<std::string> detail)>;

class HostControls {
 public:
  virtual ~HostControls() = default;

  // What the window and the tray show of the host, read now.
  virtual HostSnapshot snapshot() const = 0;
  // The activity log, oldest first.
  virtual std::vector<MetricsStore::LogEvent> events() const = 0;
  // `changed` runs after any value of snapshot() or events() may have changed.
  [[nodiscard]] virtual Subscription observe(std::function<void()> changed) = 0;

  // Each returns at once; the host runs its own tasks.
  virtual void startServer() = 0;
  virtual void stopServer() = 0;  // also clears an armed automatic start
  virtual void setLaunchAtLogin(bool on) = 0;
  virtual void refreshLaunchAtLoginStatus() = 0;
  virtual void completePermissionOnboarding() = 0;
  virtual void requestScreenRecordingPermission() = 0;
  virtual void requestAccessibilityPermission() = 0;
  // Re-reads the permissions periodically while one is missing.
  virtual void startPermissionPolling() = 0;
  virtual void stopPermissionPolling() = 0;
  virtual asio::awaitable<void> prepareForLaunch(bool onboardingCompleted) = 0;
  virtual asio::awaitable<void> refreshPermissions() = 0;
  // Completes when the shutdown that the last stopServer() began has finished; at once when none runs.
  virtual asio::awaitable<void> shutdownFinished() = 0;
};

// What the application hands the host it creates.
struct HostApplicationServices {
  AnalyticsTracker track;
  std::shared_ptr<FilePanelPresenter> filePanels;  // the panels a tablet's download or upload opens
};

// The host view model of this process behind HostControls. Created and destroyed on the main thread.
std::unique_ptr<HostControls> makeHostViewModelControls(HostApplicationServices services);

}  // namespace veltrano::app
