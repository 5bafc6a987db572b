#pragma once
// How many remote sessions may be negotiating at once (made by an offer and not connected yet). Each one gathers
// candidates, opens sockets and holds memory until it connects or its time runs out, so a device that offers faster
// than that, or many devices together, must not make the host take on more. An offer over the bound is dropped;
// the sessions already there are not touched. Drops are logged at most once per period, the next line saying how
// many were left out. Main thread.
#include <cstddef>
#include <string>

#include "base/clock.hpp"
#include "core/log_throttle.hpp"

namespace veltrano {

class NegotiationBound {
 public:
  static constexpr std::size_t perDevice = 8;
  static constexpr std::size_t inAll = 32;

  explicit NegotiationBound(Clock& clock);

  // Whether an offer from `deviceID` for the new session `sessionID` may make it, given how many sessions are
  // negotiating now: of that device, and in all.
  bool admits(const std::string& deviceID, const std::string& sessionID, std::size_t negotiatingOfDevice,
              std::size_t negotiatingInAll);

 private:
  LogThrottle log_;
};

}  // namespace veltrano
