#include "platform/webrtc/usrsctp_runtime.hpp"

#include <algorithm>
#include <mutex>
#include <optional>
#include <vector>

#include <usrsctp.h>

#include "platform/webrtc/sctp_checksum.hpp"

namespace veltrano::webrtc {

namespace {

// Everything the process keeps about usrsctp, under two locks taken in this order, never the other way round:
// `lifecycle` (the runtime, held across starting and finishing the library), then usrsctp's own locks, then
// `mutex` (the registered addresses and the timer origin). usrsctp holds its own locks while it calls back
// (sendPacket), so `mutex` is never held across a call into usrsctp.
struct Process {
  std::mutex lifecycle;
  std::weak_ptr<UsrsctpRuntime> runtime;
  bool initialized = false;
  std::mutex mutex;
  std::vector<UsrsctpRuntime::Endpoint*> endpoints;
  std::optional<std::chrono::steady_clock::time_point> lastTimers;
};

Process& process() {
  static Process state;
  return state;
}

bool isRegistered(UsrsctpRuntime::Endpoint* endpoint) {
  std::lock_guard lock(process().mutex);
  const auto& endpoints = process().endpoints;
  return std::find(endpoints.begin(), endpoints.end(), endpoint) != endpoints.end();
}

int sendPacket(void* address, void* buffer, std::size_t length, std::uint8_t, std::uint8_t) {
  auto* endpoint = static_cast<UsrsctpRuntime::Endpoint*>(address);
  // An association being torn down may still emit its ABORT after its owner has left.
  if (!isRegistered(endpoint)) return 0;
  // usrsctp hands over a copy of its own for this call, which the checksum goes into.
  const std::span packet(static_cast<std::uint8_t*>(buffer), length);
  stampSctpChecksum(packet);
  endpoint->onUsrsctpPacket(packet);
  return 0;
}

}  // namespace

UsrsctpRuntime::UsrsctpRuntime() {
  // Under the lifecycle lock (acquire).
  if (process().initialized) return;
  usrsctp_init_nothreads(0, sendPacket, nullptr);
  // We checksum outgoing packets ourselves (sendPacket); incoming ones were authenticated by DTLS.
  usrsctp_enable_crc32c_offload();
  // ECN needs IP-level access we do not have; the rest keeps small messages prompt.
  usrsctp_sysctl_set_sctp_ecn_enable(0);
  usrsctp_sysctl_set_sctp_pr_enable(1);
  usrsctp_sysctl_set_sctp_enable_sack_immediately(1);
  process().initialized = true;
}

UsrsctpRuntime::~UsrsctpRuntime() {
  std::lock_guard lock(process().lifecycle);
  // Another owner may have acquired a new runtime meanwhile; the library stays up for it.
  if (process().runtime.lock()) return;
  // Fails while sockets still exist; the library then stays up for the next user.
  if (usrsctp_finish() == 0) {
    process().initialized = false;
    std::lock_guard state(process().mutex);
    process().lastTimers.reset();
  }
}

std::shared_ptr<UsrsctpRuntime> UsrsctpRuntime::acquire() {
  std::lock_guard lock(process().lifecycle);
  if (auto runtime = process().runtime.lock()) return runtime;
  std::shared_ptr<UsrsctpRuntime> runtime(new UsrsctpRuntime());
  process().runtime = runtime;
  return runtime;
}

void UsrsctpRuntime::registerEndpoint(Endpoint* endpoint) {
  usrsctp_register_address(endpoint);
  std::lock_guard lock(process().mutex);
  process().endpoints.push_back(endpoint);
}

void UsrsctpRuntime::deregisterEndpoint(Endpoint* endpoint) {
  {
    std::lock_guard lock(process().mutex);
    std::erase(process().endpoints, endpoint);
  }
  usrsctp_deregister_address(endpoint);
}

void UsrsctpRuntime::handleTimers(std::chrono::steady_clock::time_point now) {
  std::chrono::milliseconds elapsed{0};
  std::vector<Endpoint*> snapshot;
  {
    std::lock_guard lock(process().mutex);
    auto& last = process().lastTimers;
    if (!last) {
      last = now;
      return;
    }
    if (now <= *last) return;
    elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(now - *last);
    if (elapsed.count() == 0) return;
    *last += elapsed;
    snapshot = process().endpoints;
  }
  usrsctp_handle_timers(static_cast<std::uint32_t>(std::min<std::int64_t>(elapsed.count(), 60'000)));
  // An endpoint's report may tear down another one.
  for (Endpoint* endpoint : snapshot) {
    if (isRegistered(endpoint)) endpoint->onUsrsctpTimersRan();
  }
}

}  // namespace veltrano::webrtc
