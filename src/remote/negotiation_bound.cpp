#include "remote/negotiation_bound.hpp"

#include <fmt/format.h>

namespace veltrano {

NegotiationBound::NegotiationBound(Clock& clock) : log_(clock, LogThrottleLimits{1, std::chrono::seconds(10)}) {}

bool NegotiationBound::admits(const std::string& deviceID, const std::string& sessionID,
                              std::size_t negotiatingOfDevice, std::size_t negotiatingInAll) {
  if (negotiatingOfDevice < perDevice && negotiatingInAll < inAll) return true;
  log_.write("offer over the bound", LogCategory::Error, [&] {
    return fmt::format("REMOTE: offer dropped for session={} from device={}: {} sessions negotiating ({} of it)",
                       sessionID, deviceID, negotiatingInAll, negotiatingOfDevice);
  });
  return false;
}

}  // namespace veltrano
