#include "host/host_localized_strings.hpp"

namespace veltrano {

const LocalizationTable& hostLocalizedStrings() {
  static const LocalizationTable table = {
      {"host.remote.stopped", "Remote access is off"},
      {"host.error.permissions_missing", "Grant Screen Recording and Accessibility to start the host."},
      {"host.error.screen_capture_format", "The displays could not be read: %s"},
      {"host.error.server_format", "A server could not start: %s"},
      {"host.error.audio_server_format", "The audio server could not start: %s"},
      {"host.error.bonjour_format", "This computer could not be announced on the local network: %s"},
      {"host.error.video_server_format", "The video server on port %d could not start: %s"},
      {"host.error.no_displays", "No display was found to share."},
      {"host.bonjour.name_format", "%s"},
  };
  return table;
}

void registerHostLocalizedStrings() { registerLocalizedStringsOnce(hostLocalizedStrings()); }

}  // namespace veltrano
