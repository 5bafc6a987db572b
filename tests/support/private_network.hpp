#pragma once
// Runs the current test once more, alone, in a child process inside a network namespace of its own that has only
// loopback, where the test may break the network without touching the machine's. The child sees
// insidePrivateNetwork() true. Needs root.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>

namespace veltrano::testing {

inline constexpr const char* kPrivateNetworkVariable = "VELTRANO_TEST_PRIVATE_NETWORK";

inline bool insidePrivateNetwork() { return std::getenv(kPrivateNetworkVariable) != nullptr; }

// Why a private network cannot be made here, or nothing when it can.
inline std::optional<std::string> privateNetworkUnavailable() {
  if (::geteuid() != 0) return "a network namespace needs root";
  if (std::system("unshare --net ip link set lo up >/dev/null 2>&1") != 0) {
    return "this machine does not allow creating network namespaces (or unshare or ip is missing)";
  }
  return std::nullopt;
}

// The child's exit status: 0 when the test passed there.
inline int runCurrentTestInPrivateNetwork() {
  const auto* test = ::testing::UnitTest::GetInstance()->current_test_info();
  const std::string filter = std::string(test->test_suite_name()) + "." + test->name();
  const std::string self = std::filesystem::read_symlink("/proc/self/exe").string();
  const std::string command = std::string(kPrivateNetworkVariable) +
                              "=1 unshare --net -- sh -c 'ip link set lo up && exec \"$0\" --gtest_filter=\"$1\"' '" +
                              self + "' '" + filter + "'";
  return std::system(command.c_str());
}

// Inside: every TCP segment sent from `port` vanishes, as on a path that died without a word. Local routes are
// looked up after the rule, so the rule can catch loopback traffic.
inline void dropTcpFromPort(std::uint16_t port) {
  if (!insidePrivateNetwork()) throw std::logic_error("only inside a private network");
  const std::string command = "ip rule add pref 100 lookup local && ip rule del pref 0 && ip rule add pref 10 "
                              "ipproto tcp sport " + std::to_string(port) + " blackhole";
  if (std::system(command.c_str()) != 0) throw std::runtime_error("command failed: " + command);
}

// Inside: segments from `port` flow again after dropTcpFromPort.
inline void restoreTcpFromPort(std::uint16_t port) {
  if (!insidePrivateNetwork()) throw std::logic_error("only inside a private network");
  const std::string command = "ip rule del pref 10 ipproto tcp sport " + std::to_string(port) + " blackhole";
  if (std::system(command.c_str()) != 0) throw std::runtime_error("command failed: " + command);
}

}  // namespace veltrano::testing
