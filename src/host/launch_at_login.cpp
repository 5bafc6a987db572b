#include "host/launch_at_login.hpp"

#include <exception>

#include "base/thread_checks.hpp"
#include "core/localization.hpp"
#include "host/launch_at_login_localized_strings.hpp"
#include "platform/loginitem/install_location.hpp"

namespace veltrano {

LaunchAtLogin::LaunchAtLogin(ObservableProperty<bool>& launchAtLogin, std::unique_ptr<LoginItemService> service,
                             MetricsStore& metrics, Tracker track, InstallCheck isInstalled)
    : launchAtLogin_(launchAtLogin),
      service_(std::move(service)),
      metrics_(metrics),
      track_(std::move(track)),
      isInstalled_(isInstalled ? std::move(isInstalled) : InstallCheck(platform::isRunningInstalledCopy)) {
  registerLaunchAtLoginLocalizedStrings();
  readStatus();
}

void LaunchAtLogin::readStatus() {
  assertOnMainThread();
  readEnabled();
}

void LaunchAtLogin::refreshLaunchAtLoginStatus() {
  assertOnMainThread();
  if (readEnabled()) report(launchAtLogin_() ? "enabled" : "disabled");
}

bool LaunchAtLogin::isInstalledInApplicationsFolder() const {
  assertOnMainThread();
  return isInstalled_();
}

void LaunchAtLogin::setLaunchAtLogin(bool wanted) {
  assertOnMainThread();
  LoginItemStatus status = LoginItemStatus::notRegistered;
  if (wanted) {
    if (!isInstalledInApplicationsFolder()) {
      launchAtLogin_.set(false);
      report("install_required");
      metrics_.lastError.set(localized("host.error.launch_at_login_install_required"));
      return;
    }
    status = service_->status();
    if (status == LoginItemStatus::requiresApproval) {
      launchAtLogin_.set(false);
      report("requires_approval");
      service_->openLoginItemsSettings();
      return;
    }
  } else {
    status = service_->status();
  }

  const bool nothingToDo = wanted ? status == LoginItemStatus::enabled
                                  : status == LoginItemStatus::notRegistered || status == LoginItemStatus::notFound;
  if (!nothingToDo) {
    try {
      if (wanted) {
        service_->registerItem();
      } else {
        service_->unregisterItem();
      }
    } catch (const std::exception& error) {
      fail(wanted, error.what());
      return;
    }
  }
  close(wanted);
}

// True when the flag changed.
bool LaunchAtLogin::readEnabled() { return launchAtLogin_.set(service_->status() == LoginItemStatus::enabled); }

void LaunchAtLogin::report(const char* outcome) {
  if (track_) track_(AnalyticsEvent::server_launch_at_login, outcome);
}

void LaunchAtLogin::close(bool enabling) {
  const LoginItemStatus status = service_->status();
  launchAtLogin_.set(status == LoginItemStatus::enabled);
  report(launchAtLogin_() ? "enabled" : "disabled");
  // A registration that waits for the user's approval: show where to give it.
  if (enabling && status == LoginItemStatus::requiresApproval) service_->openLoginItemsSettings();
}

void LaunchAtLogin::fail(bool enabling, const std::string& description) {
  readEnabled();
  report(enabling ? "enable_failed" : "disable_failed");
  metrics_.lastError.set(localizedFormat("host.error.launch_at_login_format", description));
}

}  // namespace veltrano
