#include "app/app_localized_strings.hpp"

namespace veltrano::app {

const LocalizationTable& appLocalizedStrings() {
  static const LocalizationTable table{
      {"host.menu.show", "Show Window"},
      {"host.menu.start", "Start"},
      {"host.menu.stop", "Stop"},
      {"host.menu.auto_start", "Launch at Login"},
      {"host.menu.quit", "Quit"},
      {"host.menu.status_sharing", "Sharing the screen"},
      {"host.menu.status_waiting", "Waiting for a tablet"},
      {"host.status.starting", "Starting"},
      {"host.status.stopped", "Stopped"},
      {"host.status.starting_detail", "Opening the local servers"},
      {"host.status.ready", "Ready"},
      {"host.status.ipad_connected", "Tablet connected"},
      {"host.sidebar.no_connections", "No connections"},
      {"host.sidebar.port_format", "Port %d"},
      {"host.brand.subtitle", "Remote host"},
      {"host.nav.home", "Overview"},
      {"host.nav.advanced", "Advanced"},
      {"host.permissions.checking", "Checking permissions\u2026"},
      {"host.onboarding.finish", "Continue"},
      {"host.overview.title", "Your computer, on your tablet"},
      {"host.advanced.title", "Advanced"},
  };
  return table;
}

void registerAppLocalizedStrings() { registerLocalizedStringsOnce(appLocalizedStrings()); }

}  // namespace veltrano::app
