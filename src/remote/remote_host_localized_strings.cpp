#include "remote/remote_host_localized_strings.hpp"

namespace veltrano {

const LocalizationTable& remoteHostLocalizedStrings() {
  static const LocalizationTable table = {
      {"host.remote.stopped", "Remote access is off"},
      {"host.remote.preparing", "Connecting to the remote access service…"},
      {"host.remote.available", "Ready for your tablets, anywhere"},
      {"host.remote.recovering", "Reconnecting to the remote access service…"},
      {"host.remote.connecting_device", "A tablet is connecting…"},
      {"host.remote.ready", "A tablet is connected remotely"},
      {"host.remote.recovering_connection", "A remote tablet lost its connection"},
      {"host.remote.icloud_unavailable", "Remote access needs the account key, which could not be read"},
  };
  return table;
}

void registerRemoteHostLocalizedStrings() { registerLocalizedStringsOnce(remoteHostLocalizedStrings()); }

}  // namespace veltrano
