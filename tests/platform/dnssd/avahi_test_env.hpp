#pragma once
// The Avahi daemon of scripts/test-env: it runs in a network namespace of its own and is reached over the private
// system bus that DBUS_SYSTEM_BUS_ADDRESS names. Browsing runs avahi-browse inside that namespace.
#include <signal.h>
#include <spawn.h>
#include <stdio.h>
#include <sys/wait.h>

#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "support/eventually.hpp"
#include "support/required_service.hpp"
#include "support/temporary_folder.hpp"

extern char** environ;

namespace veltrano::test {

inline std::optional<std::string> avahiUnavailable() {
  if (!std::getenv("VELTRANO_TEST_AVAHI") || !std::getenv("VELTRANO_TEST_MDNS_NETNS") ||
      !std::getenv("DBUS_SYSTEM_BUS_ADDRESS")) {
    return std::string("no Avahi daemon: start the test services with scripts/test-env");
  }
  return std::nullopt;
}

struct BrowsedService {
  std::string name;
  std::uint16_t port = 0;
};

// avahi-browse writes names with "\ddd" (decimal byte) and "\." escapes.
inline std::string unescapedLabel(const std::string& text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\\' && i + 3 < text.size() && std::isdigit(static_cast<unsigned char>(text[i + 1]))) {
      out += static_cast<char>(std::stoi(text.substr(i + 1, 3)));
      i += 3;
    } else if (text[i] == '\\' && i + 1 < text.size()) {
      out += text[++i];
    } else {
      out += text[i];
    }
  }
  return out;
}

inline std::vector<std::string> fieldsOf(const std::string& line) {
  std::vector<std::string> fields;
  std::size_t start = 0;
  while (true) {
    const auto end = line.find(';', start);
    fields.push_back(line.substr(start, end - start));
    if (end == std::string::npos) return fields;
    start = end + 1;
  }
}

// The resolved services of `type` that a daemon knows now, one entry per name; `prefix` starts avahi-browse
// where it reaches that daemon. avahi-browse -t sometimes never ends when a service withdraws while it resolves
// (avahi issue 264; parallel tests withdraw theirs all the time): it is cut off after ten seconds with what it
// printed so far.
inline std::vector<BrowsedService> browseWith(const std::string& prefix, const std::string& type) {
  const std::string command = prefix + "timeout 10 avahi-browse -rpt " + type + " 2>/dev/null";
  std::vector<BrowsedService> found;
  FILE* pipe = ::popen(command.c_str(), "r");
  if (!pipe) return found;
  char buffer[4096];
  while (std::fgets(buffer, sizeof(buffer), pipe)) {
    std::string line(buffer);
    if (!line.empty() && line.back() == '\n') line.pop_back();
    // =;interface;protocol;name;type;domain;host;address;port;txt
    const auto fields = fieldsOf(line);
    if (fields.size() < 9 || fields[0] != "=") continue;
    BrowsedService service{unescapedLabel(fields[3]), static_cast<std::uint16_t>(std::stoi(fields[8]))};
    bool known = false;
    for (const auto& f : found) known = known || f.name == service.name;
    if (!known) found.push_back(service);
  }
  ::pclose(pipe);
  return found;
}

// The same of the daemon of scripts/test-env.
inline std::vector<BrowsedService> browse(const std::string& type) {
  return browseWith(std::string("ip netns exec '") + std::getenv("VELTRANO_TEST_MDNS_NETNS") + "' ", type);
}

// A D-Bus daemon of the test's own where no Avahi daemon lives.
class BusWithoutAvahi {
 public:
  BusWithoutAvahi() {
    const std::string listen = "--address=" + address();
    const char* argv[] = {"dbus-daemon", "--session", "--nofork", "--nopidfile", listen.c_str(), nullptr};
    if (::posix_spawnp(&pid_, "dbus-daemon", nullptr, nullptr, const_cast<char* const*>(argv), environ) != 0) pid_ = -1;
  }
  ~BusWithoutAvahi() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGTERM);
    ::waitpid(pid_, nullptr, 0);
  }
  BusWithoutAvahi(const BusWithoutAvahi&) = delete;
  BusWithoutAvahi& operator=(const BusWithoutAvahi&) = delete;

  std::string address() const { return "unix:path=" + socket_.string(); }
  bool waitUntilListening() const {
    return pid_ > 0 && testing::eventually([&] { return std::filesystem::exists(socket_); });
  }

 private:
  testing::TemporaryFolder folder_{"veltrano-bus"};
  std::filesystem::path socket_ = folder_ / "bus";
  pid_t pid_ = -1;
};

}  // namespace veltrano::test

#define VELTRANO_REQUIRE_AVAHI() VELTRANO_REQUIRE_SERVICE("Avahi daemon", ::veltrano::test::avahiUnavailable())
