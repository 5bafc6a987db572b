#include "control/control_localized_strings.hpp"

namespace veltrano {

const LocalizationTable& controlLocalizedStrings() {
  static const LocalizationTable table = {
      {"host.log.command.ping_format", "ping %s"},
      {"host.log.command.pointer_format", "%s (%s, %s)"},
      {"host.log.command.relative_pointer_format", "%s by (%s, %s)"},
      {"host.log.command.scroll_format", "scroll (%s, %s)"},
      {"host.log.command.text_format", "text, %d characters"},
      {"host.log.command.display_format", "select display %s"},
      {"host.log.command.space_format", "switch space %s"},
      {"host.log.command.pointer_move", "pointer move"},
      {"host.log.command.pointer_move_relative", "relative pointer move"},
      {"host.log.command.left_click", "left click"},
      {"host.log.command.right_click", "right click"},
      {"host.log.command.pointer_down", "pointer down"},
      {"host.log.command.pointer_drag", "pointer drag"},
      {"host.log.command.pointer_up", "pointer up"},
      {"host.log.command.key_down", "key down"},
      {"host.log.command.key_up", "key up"},
      {"host.error.bonjour_rejected",
       "This computer could not be announced on the local network: the DNS-SD service (avahi-daemon) is not running "
       "or refused it."},
      {"host.error.bonjour_timeout", "Announcing this computer on the local network took too long."},
  };
  return table;
}

void registerControlLocalizedStrings() { registerLocalizedStringsOnce(controlLocalizedStrings()); }

}  // namespace veltrano
