#pragma once
// usrsctp is process-wide: it is initialized once (in the mode without threads of its own, so that everything
// runs on the caller's network thread) while any association holds the runtime, and finished when the last
// one lets it go. Packets usrsctp emits are routed to the association that registered their address. What the
// process keeps about usrsctp (the runtime, the registered addresses, the timer origin) has one owner here.
#include <chrono>
#include <cstdint>
#include <memory>
#include <span>

namespace veltrano::webrtc {

class UsrsctpRuntime {
 public:
  // Receives what usrsctp does for one registered address.
  class Endpoint {
   public:
    virtual ~Endpoint() = default;
    virtual void onUsrsctpPacket(std::span<const std::uint8_t> packet) = 0;
    // After the runtime ran timers: report what they changed.
    virtual void onUsrsctpTimersRan() = 0;
  };

  static std::shared_ptr<UsrsctpRuntime> acquire();
  ~UsrsctpRuntime();

  void registerEndpoint(Endpoint* endpoint);
  void deregisterEndpoint(Endpoint* endpoint);

  // Runs the retransmission and other timers up to `now` (the first call only sets the origin). usrsctp stamps
  // sent data with the real clock, so `now` is std::chrono::steady_clock::now(); every owner may call it.
  void handleTimers(std::chrono::steady_clock::time_point now);

  UsrsctpRuntime(const UsrsctpRuntime&) = delete;
  UsrsctpRuntime& operator=(const UsrsctpRuntime&) = delete;

 private:
  UsrsctpRuntime();
};

}  // namespace veltrano::webrtc
