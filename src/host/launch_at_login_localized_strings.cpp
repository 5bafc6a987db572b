#include "host/launch_at_login_localized_strings.hpp"

namespace veltrano {

const LocalizationTable& launchAtLoginLocalizedStrings() {
  static const LocalizationTable table = {
      {"host.error.launch_at_login_install_required",
       "Launch at login needs an installed copy: install Veltrano and start it from its installed location."},
      {"host.error.launch_at_login_format", "Launch at login could not be changed: %s"},
      {"host.error.login_item.no_config_folder", "there is no configuration folder to hold the autostart entry"},
      {"host.error.login_item.folder_format", "cannot create the autostart folder %s (%s)"},
      {"host.error.login_item.write_format", "cannot write the autostart entry %s (%s)"},
      {"host.error.login_item.remove_format", "cannot remove the autostart entry %s (%s)"},
  };
  return table;
}

void registerLaunchAtLoginLocalizedStrings() { registerLocalizedStringsOnce(launchAtLoginLocalizedStrings()); }

}  // namespace veltrano
