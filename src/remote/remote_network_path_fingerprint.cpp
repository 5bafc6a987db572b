#include "remote/remote_network_path_fingerprint.hpp"

#include <algorithm>

namespace veltrano {

RemoteNetworkPathFingerprint makeNetworkPathFingerprint(const platform::NetworkPath& path) {
  using Type = platform::NetworkInterfaceType;
  RemoteNetworkPathFingerprint fingerprint;
  // The first match wins: a path over Wi-Fi and Ethernet is Wi-Fi.
  if (path.usesInterfaceType(Type::wifi)) fingerprint.kind = RemoteNetworkPathKind::wifi;
  else if (path.usesInterfaceType(Type::cellular)) fingerprint.kind = RemoteNetworkPathKind::cellular;
  else if (path.usesInterfaceType(Type::wiredEthernet)) fingerprint.kind = RemoteNetworkPathKind::wired;
  else fingerprint.kind = RemoteNetworkPathKind::other;

  for (const auto& interface : path.availableInterfaces) {
    if (!path.usesInterfaceType(interface.type)) continue;
    fingerprint.interfaces.push_back(interface.name + ":" + std::to_string(interface.index));
    fingerprint.addresses.insert(fingerprint.addresses.end(), interface.addresses.begin(), interface.addresses.end());
  }
  std::sort(fingerprint.interfaces.begin(), fingerprint.interfaces.end());
  std::sort(fingerprint.addresses.begin(), fingerprint.addresses.end());
  fingerprint.gateways = path.gateways;
  std::sort(fingerprint.gateways.begin(), fingerprint.gateways.end());
  fingerprint.isExpensive = path.isExpensive;
  fingerprint.isConstrained = path.isConstrained;
  return fingerprint;
}

}  // namespace veltrano
