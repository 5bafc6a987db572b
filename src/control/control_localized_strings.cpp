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
      // The reason only: the start-up's message names what failed.
      {"host.error.bonjour_rejected", "the DNS-SD service (avahi-daemon) is not running or refused the name."},
      {"host.error.bonjour_timeout", "the DNS-SD service did not answer in time."},
  };
  return table;
}

void registerControlLocalizedStrings() { registerLocalizedStringsOnce(controlLocalizedStrings()); }

}  // namespace veltrano
