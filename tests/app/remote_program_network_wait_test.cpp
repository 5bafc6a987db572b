// The program started while the link to its signaling service is down, in a network namespace of its own with the
// service across a veth link: it waits for the network without a failure and signs in once the link is up.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <thread>

#include "platform/crypto/random.hpp"
#include "platform/keystore/account_key_file.hpp"
#include "support/eventually.hpp"
#include "support/host_program_process.hpp"
#include "support/network_namespaces.hpp"
#include "support/signaling_test_service.hpp"
#include "support/temporary_folder.hpp"
#include "support/x11_test_env.hpp"

namespace veltrano::test {
namespace {

using namespace std::chrono_literals;
using testing::NetworkNamespaces;

TEST(RemoteProgramNetworkWaitTest, AHostStartedOfflineSignsInAsSoonAsTheLinkComesUpWithoutAFailure) {
#if defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "the program reports inside uninstrumented Qt under ThreadSanitizer, as in its own test";
#endif
  VELTRANO_REQUIRE_X11();
  if (auto reason = NetworkNamespaces::unavailable()) GTEST_SKIP() << *reason;
  NetworkNamespaces namespaces;
  testing::SignalingTestService service(namespaces.peerNamespace(), NetworkNamespaces::kPeerAddress);
  // The far end going down takes the carrier, and with it the host's only network path; its routes go unused, so
  // that a connection fails at once, as on a computer whose Wi-Fi is off.
  testing::runCommand("sysctl -q -w net.ipv4.conf.all.ignore_routes_with_linkdown=1");
  const std::string peerLink = namespaces.inPeer() + "ip link set " + namespaces.peerNamespace();
  testing::runCommand(peerLink + " down");

  testing::TemporaryFolder home{"veltrano-network-wait"};
  const std::filesystem::path root = home.path();
  std::ofstream(root / "ca.pem") << service.authorityPem();
  platform::AccountKeyFile(root / "data" / "veltrano").readOrCreate([] {
    return platform::SecureBytes(platform::randomBytes(platform::AccountKeyFile::seedSize));
  });
  std::filesystem::create_directory(root / "runtime");
  std::filesystem::permissions(root / "runtime", std::filesystem::perms::owner_all);
  testing::HostProgramProcess program;
  ASSERT_TRUE(program.start(VELTRANO_HOST_PROGRAM,
                            {{"HOME", root.string()},
                             {"XDG_DATA_HOME", (root / "data").string()},
                             {"XDG_CONFIG_HOME", (root / "config").string()},
                             {"XDG_RUNTIME_DIR", (root / "runtime").string()},
                             {"SSL_CERT_FILE", (root / "ca.pem").string()},
                             {"VELTRANO_SIGNALING_URL", "wss://" + std::string(NetworkNamespaces::kPeerAddress) + ":" +
                                                            std::to_string(service.port()) + "/veltrano/v1/signal"}},
                            root / "program.log"));
  ASSERT_TRUE(testing::eventually([&] { return program.wrote(" ready (generation"); }, 60s)) << program.output();

  // Offline for longer than the first two waits of the back-off together.
  std::this_thread::sleep_for(4s);
  testing::runCommand(peerLink + " up");
  const auto linkUp = std::chrono::steady_clock::now();
  ASSERT_TRUE(service.waitForEvent("authenticated ", 0, 30s)) << program.output();
  EXPECT_LT(std::chrono::steady_clock::now() - linkUp, 2s);
  EXPECT_FALSE(program.wrote("REMOTE: signaling failed")) << program.output();

  program.signal(SIGTERM);
  const auto status = program.waitForExit(30s);
  EXPECT_TRUE(status && WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << program.output();
}

}  // namespace
}  // namespace veltrano::test
