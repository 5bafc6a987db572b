#include "platform/net/interface_type.hpp"

#include <net/if_arp.h>

#include <filesystem>
#include <fstream>

namespace veltrano::platform {

NetworkInterfaceType interfaceType(const std::string& name, unsigned short hardwareType) {
  // The name becomes a path: keep it inside /sys/class/net.
  if (name.empty() || name.find('/') != std::string::npos || name == "." || name == "..")
    return NetworkInterfaceType::other;
  const std::filesystem::path device = std::filesystem::path("/sys/class/net") / name;
  std::error_code error;
  if (std::filesystem::exists(device / "wireless", error) || std::filesystem::exists(device / "phy80211", error))
    return NetworkInterfaceType::wifi;
  std::ifstream uevent(device / "uevent");
  for (std::string line; std::getline(uevent, line);) {
    if (line == "DEVTYPE=wwan") return NetworkInterfaceType::cellular;
    if (line == "DEVTYPE=wlan") return NetworkInterfaceType::wifi;
  }
  return hardwareType == ARPHRD_ETHER ? NetworkInterfaceType::wiredEthernet : NetworkInterfaceType::other;
}

}  // namespace veltrano::platform
