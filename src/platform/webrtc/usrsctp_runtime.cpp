#include "platform/webrtc/usrsctp_runtime.hpp"

#include <algorithm>
#include <mutex>
#include <optional>
#include <vector>

#include <usrsctp.h>

namespace veltrano::webrtc {

namespace {

// Guards the process-wide state below; usrsctp calls back into it on the network thread.
std::mutex& runtimeMutex() {
  static std::mutex mutex;
  return mutex;
}
std::weak_ptr<UsrsctpRuntime>& currentRuntime() {
  static std::weak_ptr<UsrsctpRuntime> runtime;
  return runtime;
}
std::vector<UsrsctpRuntime::Endpoint*>& endpoints() {
  static std::vector<UsrsctpRuntime::Endpoint*> list;
  return list;
}
bool initialized = false;
std::optional<std::chrono::steady_clock::time_point> lastTimers;

bool isRegistered(UsrsctpRuntime::Endpoint* endpoint) {
  std::lock_guard lock(runtimeMutex());
  return std::find(endpoints().begin(), endpoints().end(), endpoint) != endpoints().end();
}

int sendPacket(void* address, void* buffer, std::size_t length, std::uint8_t, std::uint8_t) {
  auto* endpoint = static_cast<UsrsctpRuntime::Endpoint*>(address);
  // An association being torn down may still emit its ABORT after its owner has left.
  if (!isRegistered(endpoint)) return 0;
  endpoint->onUsrsctpPacket(std::span(static_cast<const std::uint8_t*>(buffer), length));
  return 0;
}

}  // namespace

UsrsctpRuntime::UsrsctpRuntime() {
  if (initialized) return;
  usrsctp_init_nothreads(0, sendPacket, nullptr);
  // ECN needs IP-level access we do not have; the rest keeps small messages prompt.
  usrsctp_sysctl_set_sctp_ecn_enable(0);
  usrsctp_sysctl_set_sctp_pr_enable(1);
  usrsctp_sysctl_set_sctp_enable_sack_immediately(1);
  initialized = true;
}

UsrsctpRuntime::~UsrsctpRuntime() {
  // Fails while sockets still exist; the library then stays up for the next user.
  if (usrsctp_finish() == 0) {
    initialized = false;
    lastTimers.reset();
  }
}

std::shared_ptr<UsrsctpRuntime> UsrsctpRuntime::acquire() {
  std::lock_guard lock(runtimeMutex());
  if (auto runtime = currentRuntime().lock()) return runtime;
  std::shared_ptr<UsrsctpRuntime> runtime(new UsrsctpRuntime());
  currentRuntime() = runtime;
  return runtime;
}

void UsrsctpRuntime::registerEndpoint(Endpoint* endpoint) {
  usrsctp_register_address(endpoint);
  std::lock_guard lock(runtimeMutex());
  endpoints().push_back(endpoint);
}

void UsrsctpRuntime::deregisterEndpoint(Endpoint* endpoint) {
  {
    std::lock_guard lock(runtimeMutex());
    std::erase(endpoints(), endpoint);
  }
  usrsctp_deregister_address(endpoint);
}

void UsrsctpRuntime::handleTimers(std::chrono::steady_clock::time_point now) {
  if (!lastTimers) {
    lastTimers = now;
    return;
  }
  if (now <= *lastTimers) return;
  const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(now - *lastTimers);
  if (elapsed.count() == 0) return;
  *lastTimers += elapsed;
  usrsctp_handle_timers(static_cast<std::uint32_t>(std::min<std::int64_t>(elapsed.count(), 60'000)));
  std::vector<Endpoint*> snapshot;
  {
    std::lock_guard lock(runtimeMutex());
    snapshot = endpoints();
  }
  // An endpoint's report may tear down another one.
  for (Endpoint* endpoint : snapshot) {
    if (isRegistered(endpoint)) endpoint->onUsrsctpTimersRan();
  }
}

}  // namespace veltrano::webrtc
