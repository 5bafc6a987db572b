#include "support/network_namespaces.hpp"

#include <fcntl.h>
#include <sched.h>
#include <unistd.h>

#include <cstdlib>
#include <stdexcept>

namespace veltrano::testing {
namespace {

void enterNamespace(int fd) {
  if (setns(fd, CLONE_NEWNET) != 0) throw std::runtime_error("cannot enter a network namespace");
}

}  // namespace

void runCommand(const std::string& command) {
  if (std::system(command.c_str()) != 0) throw std::runtime_error("command failed: " + command);
}

std::optional<std::string> NetworkNamespaces::unavailable() {
  if (geteuid() != 0) return "network namespaces need root";
  if (std::system("ip netns list >/dev/null 2>&1") != 0) return "the ip tool (iproute2) is missing";
  // A container without the right to make namespaces refuses here, not at the listing.
  const std::string probe = "vq" + std::to_string(getpid());
  if (std::system(("ip netns add " + probe + " >/dev/null 2>&1 && ip netns del " + probe).c_str()) != 0) {
    return "this machine does not allow creating network namespaces";
  }
  return std::nullopt;
}

NetworkNamespaces::NetworkNamespaces()
    : host_("vh" + std::to_string(getpid())),
      peer_("vp" + std::to_string(getpid())),
      originalNamespace_(open("/proc/self/ns/net", O_RDONLY | O_CLOEXEC)) {
  // Namespaces of test processes that died without cleaning up would pile up.
  std::system(
      "for ns in $(ip netns list | grep -oE '^v[hp][0-9]+'); do [ -d /proc/${ns#v?} ] || ip netns del $ns; done");
  const std::string hostExec = "ip netns exec " + host_ + " ";
  for (const auto& ns : {host_, peer_}) {
    runCommand("ip netns add " + ns);
    runCommand("ip netns exec " + ns + " ip link set lo up");
    // Removing the primary address would otherwise take the secondaries with it.
    runCommand("ip netns exec " + ns + " sysctl -q -w net.ipv4.conf.all.promote_secondaries=1");
  }
  runCommand("ip link add " + host_ + " netns " + host_ + " type veth peer name " + peer_ + " netns " + peer_);
  runCommand(hostExec + "ip addr add " + std::string(kHostAddress) + "/24 dev " + host_);
  runCommand(inPeer() + "ip addr add " + std::string(kPeerAddress) + "/24 dev " + peer_);
  runCommand(hostExec + "ip link set " + host_ + " up");
  runCommand(inPeer() + "ip link set " + peer_ + " up");
  runCommand(hostExec + "ip route add default dev " + host_);
  runCommand(inPeer() + "ip route add default dev " + peer_);
  const int fd = open(("/run/netns/" + host_).c_str(), O_RDONLY | O_CLOEXEC);
  enterNamespace(fd);
  close(fd);
}

NetworkNamespaces::~NetworkNamespaces() {
  if (originalNamespace_ >= 0) {
    setns(originalNamespace_, CLONE_NEWNET);
    close(originalNamespace_);
  }
  std::system(("ip netns del " + host_ + " 2>/dev/null; ip netns del " + peer_ + " 2>/dev/null").c_str());
}

void NetworkNamespaces::moveHostAddress(const std::string& address) {
  runCommand("ip addr add " + address + "/24 dev " + host_);
  runCommand("ip addr del " + hostAddress_ + "/24 dev " + host_);
  runCommand("ip route replace default dev " + host_);
  hostAddress_ = address;
}

void NetworkNamespaces::cutPath() { runCommand(inPeer() + "ip route add blackhole " + hostAddress_ + "/32"); }

void NetworkNamespaces::dropUdp() {
  runCommand(inPeer() + "nft -f - <<'RULES'\n"
             "table inet link {\n"
             "  chain in { type filter hook input priority 0; iifname \"" + peer_ + "\" meta l4proto udp drop; }\n"
             "  chain out { type filter hook output priority 0; oifname \"" + peer_ + "\" meta l4proto udp drop; }\n"
             "}\n"
             "RULES");
}

}  // namespace veltrano::testing
