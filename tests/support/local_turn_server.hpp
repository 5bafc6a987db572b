#pragma once
// coturn in the peer namespace, relaying on the peer's address with one long-term user.
#include <filesystem>
#include <string>

#include "support/network_namespaces.hpp"
#include "support/peer_process.hpp"

namespace veltrano::testing {

class LocalTurnServer {
 public:
  static constexpr const char* kUser = "tablet";
  static constexpr const char* kPassword = "secret";
  static constexpr int kPort = 3478;

  explicit LocalTurnServer(const NetworkNamespaces& namespaces)
      : pidFile_("/tmp/turnserver-" + namespaces.peerNamespace() + ".pid"),
        process_(namespaces.inPeer() + "turnserver -n --no-cli --no-tls --no-dtls --listening-ip=" +
                 std::string(NetworkNamespaces::kPeerAddress) + " --relay-ip=" + NetworkNamespaces::kPeerAddress +
                 " --listening-port=" + std::to_string(kPort) +
                 " --min-port=50000 --max-port=50100 --lt-cred-mech --user=" + kUser + ":" + kPassword +
                 " --realm=veltrano.test --pidfile=" + pidFile_ + " --log-file=stdout --simple-log >/dev/null",
                 false) {}

  ~LocalTurnServer() { std::filesystem::remove(pidFile_); }
  LocalTurnServer(const LocalTurnServer&) = delete;
  LocalTurnServer& operator=(const LocalTurnServer&) = delete;

  static std::string url() {
    return "turn:" + std::string(NetworkNamespaces::kPeerAddress) + ":" + std::to_string(kPort) + "?transport=udp";
  }

 private:
  std::string pidFile_;
  PeerProcess process_;
};

}  // namespace veltrano::testing
