#pragma once
// An X server of the test's own, for cases that must stop the server under the code (the shared
// one from scripts/test-env must stay up). Started with -displayfd, so it picks a free display.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

namespace veltrano::test {

class PrivateXvfb {
 public:
  // False when Xvfb cannot be started. Call from a test's own thread before it starts others.
  // `options` go after the others, e.g. {"-extension", "XTEST"} for a server without that extension.
  bool start(const char* screen = "640x480x24", const std::vector<std::string>& options = {}) {
    stop();
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) return false;
    const int childFd = ::dup(fds[1]);  // without O_CLOEXEC: the server writes its display number here
    const std::string fdText = std::to_string(childFd);
    std::string screenArg = screen;
    std::vector<const char*> argv = {"Xvfb", "-displayfd", fdText.c_str(), "-nolisten", "tcp", "-noreset",
                                     "-screen", "0", screenArg.c_str()};
    for (const auto& option : options) argv.push_back(option.c_str());
    argv.push_back(nullptr);
    const pid_t parent = ::getpid();
    const pid_t pid = ::fork();
    if (pid == 0) {
      // The server must not outlive a test that crashes, nor hold the test's output open.
      ::prctl(PR_SET_PDEATHSIG, SIGTERM);
      if (::getppid() != parent) ::_exit(127);
      const int devNull = ::open("/dev/null", O_RDWR);
      ::dup2(devNull, STDIN_FILENO);
      ::dup2(devNull, STDOUT_FILENO);
      ::dup2(devNull, STDERR_FILENO);
      ::execvp("Xvfb", const_cast<char* const*>(argv.data()));
      ::_exit(127);
    }
    ::close(childFd);
    ::close(fds[1]);
    if (pid < 0) {
      ::close(fds[0]);
      return false;
    }
    pid_ = pid;
    std::string number;
    for (;;) {
      pollfd pfd{fds[0], POLLIN, 0};
      if (::poll(&pfd, 1, 10000) <= 0) break;
      char ch = 0;
      if (::read(fds[0], &ch, 1) != 1 || ch == '\n') break;
      number += ch;
    }
    ::close(fds[0]);
    if (number.empty()) {
      stop();
      return false;
    }
    name_ = ":" + number;
    return true;
  }

  PrivateXvfb() = default;
  ~PrivateXvfb() { stop(); }
  PrivateXvfb(const PrivateXvfb&) = delete;
  PrivateXvfb& operator=(const PrivateXvfb&) = delete;

  const std::string& displayName() const { return name_; }

  // Stops the server's process where it stands (its clients' requests go unanswered) and lets it go on.
  void freeze() {
    if (pid_ > 0) ::kill(pid_, SIGSTOP);
  }
  void thaw() {
    if (pid_ > 0) ::kill(pid_, SIGCONT);
  }

  void stop() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGCONT);  // a frozen server would never act on the SIGTERM
    ::kill(pid_, SIGTERM);
    int status = 0;
    ::waitpid(pid_, &status, 0);
    pid_ = -1;
  }

 private:
  pid_t pid_ = -1;
  std::string name_;
};

}  // namespace veltrano::test
