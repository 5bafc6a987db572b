#pragma once
// The sound server for tests comes from scripts/test-env, which exports PULSE_SERVER. When it is missing the test
// fails in CI (CI=true) and is skipped elsewhere:
//
//   TEST(Foo, Bar) { VELTRANO_REQUIRE_PULSE(); ... }
//
// PrivatePulseServer starts a server of the test's own, for cases that must kill the server under the code.
// Tests using this header link libpulse-simple.
#include <pulse/error.h>
#include <pulse/simple.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/eventually.hpp"
#include "support/required_service.hpp"
#include "support/temporary_folder.hpp"

extern char** environ;

namespace veltrano::test {

// Why no sound server can be used, or nullopt when one answers on $PULSE_SERVER.
inline std::optional<std::string> pulseUnavailable() {
  const char* server = std::getenv("PULSE_SERVER");
  if (server == nullptr || *server == '\0') {
    return std::string("PULSE_SERVER is not set: start the test services with scripts/test-env");
  }
  const pa_sample_spec spec{PA_SAMPLE_S16LE, 48000, 2};
  int error = 0;
  pa_simple* probe = pa_simple_new(server, "veltrano-test", PA_STREAM_PLAYBACK, nullptr, "probe", &spec, nullptr,
                                   nullptr, &error);
  if (probe == nullptr) return "cannot reach the sound server " + std::string(server) + ": " + pa_strerror(error);
  pa_simple_free(probe);
  return std::nullopt;
}

class PrivatePulseServer {
 public:
  // False when pulseaudio cannot be started.
  bool start() {
    dir_.emplace("veltrano-pulse");
    socket_ = (dir_->path() / "native").string();
    const std::string home = dir_->path().string();
    std::vector<std::string> env = {"HOME=" + home, "XDG_RUNTIME_DIR=" + home, "XDG_CONFIG_HOME=" + home,
                                    "PATH=" + std::string(std::getenv("PATH") ? std::getenv("PATH") : "/usr/bin")};
    std::vector<std::string> args = {"pulseaudio", "-n", "--daemonize=no", "--exit-idle-time=-1",
                                     "--use-pid-file=no", "--log-target=stderr", "--log-level=0",
                                     "-L", "module-null-sink sink_name=private",
                                     "-L", "module-native-protocol-unix auth-anonymous=1 socket=" + socket_};
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    std::vector<char*> envp;
    for (auto& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);
    if (::posix_spawnp(&pid_, "pulseaudio", nullptr, nullptr, argv.data(), envp.data()) != 0) {
      pid_ = -1;
      return false;
    }
    if (testing::eventually([&] { return answers(); }, std::chrono::seconds(10))) return true;
    stop();
    return false;
  }

  std::string address() const { return "unix:" + socket_; }

  void stop() {
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      int status = 0;
      ::waitpid(pid_, &status, 0);
      pid_ = -1;
    }
    dir_.reset();
  }

  PrivatePulseServer() = default;
  ~PrivatePulseServer() { stop(); }
  PrivatePulseServer(const PrivatePulseServer&) = delete;
  PrivatePulseServer& operator=(const PrivatePulseServer&) = delete;

 private:
  bool answers() const {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    socket_.copy(addr.sun_path, sizeof(addr.sun_path) - 1);
    const bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0;
    ::close(fd);
    return ok;
  }

  pid_t pid_ = -1;
  std::optional<testing::TemporaryFolder> dir_;
  std::string socket_;
};

}  // namespace veltrano::test

#define VELTRANO_REQUIRE_PULSE() VELTRANO_REQUIRE_SERVICE("sound server", ::veltrano::test::pulseUnavailable())
