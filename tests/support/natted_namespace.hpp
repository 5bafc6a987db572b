#pragma once
// A third namespace behind the peer namespace of a NetworkNamespaces pair, as a tablet on a home network behind
// its router: the peer namespace translates its addresses (nftables masquerade) and lets in from the host side only
// what answers traffic that went out. Its programs reach the host only through the translation. Needs root and nft.
#include <unistd.h>

#include <cstdlib>
#include <optional>
#include <string>

#include "support/network_namespaces.hpp"

namespace veltrano::testing {

class NattedNamespace {
 public:
  static constexpr const char* kRouterAddress = "10.77.0.1";
  static constexpr const char* kTabletAddress = "10.77.0.2";

  static std::optional<std::string> unavailable() {
    if (std::system("nft --version >/dev/null 2>&1") != 0) return "nft (nftables) is missing";
    return std::nullopt;
  }

  explicit NattedNamespace(const NetworkNamespaces& namespaces)
      : name_("vn" + std::to_string(getpid())), router_(namespaces.inPeer()) {
    const std::string inside = in();
    const std::string link = name_ + "r";
    // Namespaces of test processes that died without cleaning up would pile up.
    std::system("for ns in $(ip netns list | grep -oE '^vn[0-9]+'); do [ -d /proc/${ns#vn} ] || ip netns del $ns; done");
    runCommand("ip netns add " + name_);
    runCommand(inside + "ip link set lo up");
    runCommand("ip link add " + link + " netns " + namespaces.peerNamespace() + " type veth peer name " + name_ +
               " netns " + name_);
    runCommand(router_ + "ip addr add " + std::string(kRouterAddress) + "/24 dev " + link);
    runCommand(inside + "ip addr add " + std::string(kTabletAddress) + "/24 dev " + name_);
    runCommand(router_ + "ip link set " + link + " up");
    runCommand(inside + "ip link set " + name_ + " up");
    runCommand(inside + "ip route add default via " + std::string(kRouterAddress));
    runCommand(router_ + "sysctl -q -w net.ipv4.ip_forward=1");
    runCommand(router_ + "nft -f - <<'RULES'\n"
               "table ip router {\n"
               "  chain forward { type filter hook forward priority 0; policy drop;\n"
               "    ct state established,related accept\n"
               "    iifname \"" + link + "\" accept\n"
               "  }\n"
               "  chain outward { type nat hook postrouting priority 100; oifname != \"" + link + "\" masquerade; }\n"
               "}\n"
               "RULES");
  }

  ~NattedNamespace() { std::system(("ip netns del " + name_ + " 2>/dev/null").c_str()); }
  NattedNamespace(const NattedNamespace&) = delete;
  NattedNamespace& operator=(const NattedNamespace&) = delete;

  // Command prefix that runs a program behind the translation.
  std::string in() const { return "ip netns exec " + name_ + " "; }

 private:
  std::string name_;
  std::string router_;
};

}  // namespace veltrano::testing
