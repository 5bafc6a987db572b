#pragma once
// What of the computer's network path counts for remote access: a change of any of it means the sessions' ICE
// candidates and the signaling connection may be dead.
#include <string>
#include <vector>

#include "platform/net/network_path.hpp"

namespace veltrano {

enum class RemoteNetworkPathKind { wifi, cellular, wired, other };

struct RemoteNetworkPathFingerprint {
  RemoteNetworkPathKind kind = RemoteNetworkPathKind::other;
  std::vector<std::string> interfaces;  // "name:index" of the used interfaces, sorted
  std::vector<std::string> gateways;    // sorted
  bool isExpensive = false;
  bool isConstrained = false;
  // The host's own addresses on the used interfaces, sorted: a new address on the same link and router (a new
  // lease, a moved virtual machine) leaves the candidates the tablets hold dead all the same.
  std::vector<std::string> addresses;

  bool operator==(const RemoteNetworkPathFingerprint&) const = default;
};

RemoteNetworkPathFingerprint makeNetworkPathFingerprint(const platform::NetworkPath& path);

}  // namespace veltrano
