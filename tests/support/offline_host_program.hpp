#pragma once
// The program, started as scripts/run starts it, in a network namespace of its own with its signaling service
// across a veth link that starts down, as on a computer whose Wi-Fi is off; for what happens once the link comes
// up. Needs root, an X server and network namespaces.
#include <sys/wait.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>

#include "platform/crypto/random.hpp"
#include "platform/keystore/account_key_file.hpp"
#include "support/eventually.hpp"
#include "support/host_program_process.hpp"
#include "support/network_namespaces.hpp"
#include "support/signaling_test_service.hpp"
#include "support/temporary_folder.hpp"

namespace veltrano::testing {

class OfflineHostProgram {
 public:
  using ShownFiles = std::map<std::filesystem::path, std::filesystem::path>;

  OfflineHostProgram() : service_(namespaces_.peerNamespace(), NetworkNamespaces::kPeerAddress) {
    // The far end going down takes the carrier, and with it the host's only network path; its routes go unused,
    // so that a connection fails at once.
    runCommand("sysctl -q -w net.ipv4.conf.all.ignore_routes_with_linkdown=1");
    setLink(false);
    platform::AccountKeyFile(root() / "data" / "veltrano").readOrCreate([] {
      return platform::SecureBytes(platform::randomBytes(platform::AccountKeyFile::seedSize));
    });
    std::filesystem::create_directory(root() / "runtime");
    std::filesystem::permissions(root() / "runtime", std::filesystem::perms::owner_all);
    std::ofstream(root() / "ca.pem") << service_.authorityPem();
  }

  std::filesystem::path root() const { return home_.path(); }
  SignalingTestService& service() { return service_; }
  HostProgramProcess& program() { return program_; }

  void setLink(bool up) {
    runCommand(namespaces_.inPeer() + "ip link set " + namespaces_.peerNamespace() + (up ? " up" : " down"));
  }

  // Starts `executable`, which reaches its signaling service at `signalingHost` (the service's address, or a name
  // that `shownFiles` lead to it); true once it is ready.
  bool start(const std::string& executable, const std::string& signalingHost,
             std::map<std::string, std::string> environment = {}, const ShownFiles& shownFiles = {}) {
    environment.merge(std::map<std::string, std::string>{
        {"HOME", root().string()},
        {"XDG_DATA_HOME", (root() / "data").string()},
        {"XDG_CONFIG_HOME", (root() / "config").string()},
        {"XDG_RUNTIME_DIR", (root() / "runtime").string()},
        {"SSL_CERT_FILE", (root() / "ca.pem").string()},
        {"VELTRANO_SIGNALING_URL",
         "wss://" + signalingHost + ":" + std::to_string(service_.port()) + "/veltrano/v1/signal"}});
    return program_.start(executable, environment, root() / "program.log", shownFiles) &&
           eventually([&] { return program_.wrote(" ready (generation"); }, std::chrono::seconds(60));
  }

  // Ends the program with SIGTERM; true when it exits with status 0.
  bool stop() {
    program_.signal(SIGTERM);
    const auto status = program_.waitForExit(std::chrono::seconds(30));
    return status && WIFEXITED(*status) && WEXITSTATUS(*status) == 0;
  }

  // Files that make the program's lookups go to a name server on its loopback (SilentNameServer), after a hosts
  // file that names the signaling service "signaling.veltrano.test". The name server is asked for 150 s at least
  // before a lookup gives up.
  ShownFiles silentNameServerFiles() const {
    std::ofstream(root() / "resolv.conf") << "nameserver 127.0.0.1\noptions timeout:30 attempts:5\n";
    std::ofstream(root() / "hosts") << "127.0.0.1 localhost\n"
                                    << NetworkNamespaces::kPeerAddress << " signaling.veltrano.test\n";
    std::ofstream(root() / "nsswitch.conf") << "hosts: files dns\n";
    return {{"/etc/resolv.conf", root() / "resolv.conf"},
            {"/etc/hosts", root() / "hosts"},
            {"/etc/nsswitch.conf", root() / "nsswitch.conf"}};
  }

 private:
  NetworkNamespaces namespaces_;
  SignalingTestService service_;
  TemporaryFolder home_{"veltrano-offline-host"};
  HostProgramProcess program_;
};

}  // namespace veltrano::testing
