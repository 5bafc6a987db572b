#pragma once
// An Avahi daemon of the test's own, which the test may stop and start again without disturbing anyone: it talks
// on a system bus of its own and runs in a network namespace of its own that has only its loopback interface.
// Needs root (the namespace), dbus-daemon and avahi-daemon.
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "platform/dnssd/avahi_test_env.hpp"
#include "support/eventually.hpp"
#include "support/temporary_folder.hpp"

extern char** environ;

namespace veltrano::test {

class PrivateAvahiDaemon {
 public:
  // Why such a daemon cannot run here, or nothing when it can.
  static std::optional<std::string> unavailable() {
    if (::geteuid() != 0) return std::string("a network namespace needs root");
    if (std::system("command -v avahi-daemon dbus-daemon ip >/dev/null 2>&1") != 0) {
      return std::string("avahi-daemon, dbus-daemon or ip is missing");
    }
    return std::nullopt;
  }

  PrivateAvahiDaemon() {
    static std::atomic<int> count{0};
    namespace_ = "veltrano-avahi-" + std::to_string(::getpid()) + "-" + std::to_string(count++);
    std::ofstream(folder_ / "bus.conf") << R"(<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>system</type>
  <auth>EXTERNAL</auth>
  <listen>unix:path=)" << (folder_ / "bus").string() << R"(</listen>
  <policy context="default">
    <allow user="*"/>
    <allow own="*"/>
    <allow send_type="method_call"/>
    <allow send_type="signal"/>
    <allow send_requested_reply="true" send_type="method_return"/>
    <allow send_requested_reply="true" send_type="error"/>
    <allow receive_type="method_call"/>
    <allow receive_type="method_return"/>
    <allow receive_type="error"/>
    <allow receive_type="signal"/>
  </policy>
</busconfig>
)";
    std::ofstream(folder_ / "avahi-daemon.conf") << "[server]\nhost-name=veltrano-private-" << ::getpid()
                                                 << "\nuse-ipv4=yes\nuse-ipv6=no\nallow-interfaces=lo\nenable-dbus=yes\n"
                                                    "ratelimit-interval-usec=1000000\nratelimit-burst=1000\n"
                                                    "[wide-area]\nenable-wide-area=no\n"
                                                    "[publish]\npublish-hinfo=no\npublish-workstation=no\n"
                                                    "[reflector]\nenable-reflector=no\n";
    std::filesystem::create_directories(folder_ / "run");
    const std::string config = "--config-file=" + (folder_ / "bus.conf").string();
    bus_ = spawn({"dbus-daemon", config.c_str(), "--nofork", "--nopidfile"}, environ);
    namespaceMade_ = std::system(("ip netns add " + namespace_ + " && ip -n " + namespace_ + " link set lo up").c_str()) == 0;
  }

  ~PrivateAvahiDaemon() {
    stop();
    end(bus_);
    if (namespaceMade_) std::system(("ip netns del " + namespace_).c_str());
  }
  PrivateAvahiDaemon(const PrivateAvahiDaemon&) = delete;
  PrivateAvahiDaemon& operator=(const PrivateAvahiDaemon&) = delete;

  std::string busAddress() const { return "unix:path=" + (folder_ / "bus").string(); }

  // Starts the daemon and waits until it runs (its host name established); false when it does not.
  bool start() {
    if (bus_ <= 0 || !namespaceMade_) return false;
    if (!testing::eventually([&] { return std::filesystem::exists(folder_ / "bus"); })) return false;
    const std::string bus = "DBUS_SYSTEM_BUS_ADDRESS=" + busAddress();
    std::vector<char*> environment;
    for (char** entry = environ; *entry; ++entry) {
      if (!std::string_view(*entry).starts_with("DBUS_SYSTEM_BUS_ADDRESS=")) environment.push_back(*entry);
    }
    environment.push_back(const_cast<char*>(bus.c_str()));
    environment.push_back(nullptr);
    // avahi-daemon keeps its pid file in /run/avahi-daemon: "ip netns exec" gives it a mount namespace of its
    // own, where that folder is one of ours.
    const std::string run = (folder_ / "run").string();
    const std::string config = (folder_ / "avahi-daemon.conf").string();
    daemon_ = spawn({"ip", "netns", "exec", namespace_.c_str(), "sh", "-c",
                     "mount --bind \"$0\" /run/avahi-daemon && exec \"$@\" >/dev/null 2>&1", run.c_str(),
                     "avahi-daemon", "-f", config.c_str(), "--no-chroot", "--no-drop-root", "--no-rlimits"},
                    environment.data());
    return daemon_ > 0 && testing::eventually([&] { return running(); }, std::chrono::seconds(20));
  }

  // Ends the daemon, as a restart of it does first.
  void stop() { end(daemon_); }

  std::vector<BrowsedService> browse(const std::string& type) const {
    return browseWith("DBUS_SYSTEM_BUS_ADDRESS='" + busAddress() + "' ", type);
  }

 private:
  static pid_t spawn(std::vector<const char*> argv, char* const* environment) {
    argv.push_back(nullptr);
    pid_t pid = -1;
    if (::posix_spawnp(&pid, argv[0], nullptr, nullptr, const_cast<char* const*>(argv.data()), environment) != 0) {
      return -1;
    }
    return pid;
  }

  static void end(pid_t& pid) {
    if (pid <= 0) return;
    ::kill(pid, SIGTERM);
    ::waitpid(pid, nullptr, 0);
    pid = -1;
  }

  bool running() const {
    const std::string command = "DBUS_SYSTEM_BUS_ADDRESS='" + busAddress() +
                                "' dbus-send --system --print-reply --dest=org.freedesktop.Avahi / "
                                "org.freedesktop.Avahi.Server.GetState 2>/dev/null | grep -q 'int32 2$'";
    return std::system(command.c_str()) == 0;
  }

  testing::TemporaryFolder folder_{"veltrano-avahi"};
  std::string namespace_;
  bool namespaceMade_ = false;
  pid_t bus_ = -1;
  pid_t daemon_ = -1;
};

}  // namespace veltrano::test
