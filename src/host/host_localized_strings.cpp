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
      {"host.error.account_key_format",
       "The account key cannot be used: %s. Put the key your tablet uses in the account key file, or move that "
       "file away to create a new account; the host never overwrites it."},
      {"host.bonjour.name_format", "%s"},
      {"host.error.capture_format", "Capture of display %d failed: %s"},
      {"host.display.waiting_format", "%s %dx%d (waiting for a client)"},
      {"host.display.name_size_format", "%s %dx%d"},
      {"host.display.profile_format", "%s %dx%d (%s)"},
      {"host.media.lan", "Local network"},
      {"host.media.remote_direct", "Remote, direct"},
      {"host.media.remote_relay", "Remote, through a relay"},
      {"host.route.lan_tcp", "LAN (TCP)"},
      {"host.route.lan_p2p", "LAN (P2P)"},
      {"host.route.direct_p2p", "Direct (P2P)"},
      {"host.route.relay", "Relay"},
      {"host.route.no_clients", "No clients"},
      {"host.log.metrics_format", "FPS: %.1f | Frames: %d | Clients: %d"},
  };
  return table;
}

void registerHostLocalizedStrings() { registerLocalizedStringsOnce(hostLocalizedStrings()); }

}  // namespace veltrano
