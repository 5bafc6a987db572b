#pragma once
// Two network namespaces joined by a veth pair (198.18.0.1 for the host side, 198.18.0.2 for the peer side), each
// with a default route over the link so that browsers gather candidates. The calling thread, and every thread it
// starts afterwards, lives in the host namespace until the pair is destroyed. Needs root.
#include <optional>
#include <string>

namespace veltrano::testing {

class NetworkNamespaces {
 public:
  static constexpr const char* kHostAddress = "198.18.0.1";
  static constexpr const char* kPeerAddress = "198.18.0.2";

  // Why namespaces cannot be made here, or nothing when they can.
  static std::optional<std::string> unavailable();

  NetworkNamespaces();
  ~NetworkNamespaces();
  NetworkNamespaces(const NetworkNamespaces&) = delete;
  NetworkNamespaces& operator=(const NetworkNamespaces&) = delete;

  const std::string& peerNamespace() const { return peer_; }
  // Command prefix that runs a program inside the peer namespace.
  std::string inPeer() const { return "ip netns exec " + peer_ + " "; }
  // Gives the host side `address` (in 198.18.0.0/24) and then removes its current one.
  void moveHostAddress(const std::string& address);
  // Drops everything the peer sends to the host, so the host hears only silence.
  void cutPath();
  // The link drops every UDP packet both ways (nftables), as a network that lets only TCP through.
  void dropUdp();

 private:
  std::string host_;
  std::string peer_;
  std::string hostAddress_ = kHostAddress;
  int originalNamespace_ = -1;
};

// Runs a shell command and throws when it fails.
void runCommand(const std::string& command);

}  // namespace veltrano::testing
