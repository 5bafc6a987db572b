#pragma once
// The program itself, started as scripts/run starts it (its own environment, its output in a file), for tests and
// benchmarks that watch it from outside: its exit, its log lines, its threads.
#include <dirent.h>
#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace veltrano::testing {

class HostProgramProcess {
 public:
  // `overrides` replace or add variables of this process's environment; the program sees each file of
  // `shownFiles` in place of the system file it is keyed by (a mount namespace of its own, so root only). False when
  // the program cannot start.
  bool start(const std::string& program, const std::map<std::string, std::string>& overrides,
             const std::filesystem::path& output,
             const std::map<std::filesystem::path, std::filesystem::path>& shownFiles = {}) {
    std::map<std::string, std::string> variables;
    for (char** entry = environ; *entry; ++entry) {
      const std::string text = *entry;
      const auto equals = text.find('=');
      if (equals != std::string::npos) variables[text.substr(0, equals)] = text.substr(equals + 1);
    }
    for (const auto& [name, value] : overrides) variables[name] = value;
    std::vector<std::string> texts;
    for (const auto& [name, value] : variables) texts.push_back(name + "=" + value);
    std::vector<char*> envp;
    for (auto& text : texts) envp.push_back(text.data());
    envp.push_back(nullptr);
    output_ = output;
    const std::string outputPath = output.string();
    const pid_t parent = ::getpid();
    const pid_t pid = ::fork();
    if (pid == 0) {
      // The program must not outlive a test that crashed.
      ::prctl(PR_SET_PDEATHSIG, SIGKILL);
      if (::getppid() != parent) ::_exit(127);
      const int fd = ::open(outputPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
      if (fd < 0) ::_exit(127);
      ::dup2(fd, STDOUT_FILENO);
      ::dup2(fd, STDERR_FILENO);
      if (!shownFiles.empty()) {
        if (::unshare(CLONE_NEWNS) != 0 || ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
          ::_exit(127);
        }
        for (const auto& [system, shown] : shownFiles) {
          if (::mount(shown.c_str(), system.c_str(), nullptr, MS_BIND, nullptr) != 0) ::_exit(127);
        }
      }
      char* argv[] = {const_cast<char*>(program.c_str()), nullptr};
      ::execve(program.c_str(), argv, envp.data());
      ::_exit(127);
    }
    if (pid < 0) return false;
    pid_ = pid;
    return true;
  }

  HostProgramProcess() = default;
  ~HostProgramProcess() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
  }
  HostProgramProcess(const HostProgramProcess&) = delete;
  HostProgramProcess& operator=(const HostProgramProcess&) = delete;

  pid_t pid() const { return pid_; }

  // The wait status once the program has ended within `timeout`.
  std::optional<int> waitForExit(std::chrono::milliseconds timeout) {
    if (status_) return status_;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
      int status = 0;
      if (::waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        status_ = status;
        return status_;
      }
      if (std::chrono::steady_clock::now() >= deadline) return std::nullopt;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  }

  void signal(int number) {
    if (pid_ > 0) ::kill(pid_, number);
  }

  // Everything the program wrote so far (its log lines go there when no system journal runs).
  std::string output() const {
    std::ifstream file(output_);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
  }
  bool wrote(const std::string& text) const { return output().find(text) != std::string::npos; }
  std::size_t count(const std::string& text) const {
    const std::string all = output();
    std::size_t found = 0;
    for (auto at = all.find(text); at != std::string::npos; at = all.find(text, at + text.size())) ++found;
    return found;
  }

  // What the program holds now: its resident memory, its threads and its open descriptors.
  struct Holdings {
    std::uint64_t residentBytes = 0;
    std::size_t threads = 0;
    std::size_t descriptors = 0;
  };
  Holdings holdings() const {
    Holdings now;
    const std::string folder = "/proc/" + std::to_string(pid_);
    std::ifstream status(folder + "/status");
    for (std::string line; std::getline(status, line);) {
      std::istringstream fields(line);
      std::string key;
      std::uint64_t value = 0;
      fields >> key >> value;
      if (key == "VmRSS:") now.residentBytes = value * 1024;
      if (key == "Threads:") now.threads = value;
    }
    if (DIR* fds = ::opendir((folder + "/fd").c_str())) {
      while (const dirent* entry = ::readdir(fds)) now.descriptors += entry->d_name[0] != '.';
      ::closedir(fds);
    }
    return now;
  }

  // The names of the program's threads now.
  std::vector<std::string> threadNames() const {
    std::vector<std::string> names;
    const std::string tasks = "/proc/" + std::to_string(pid_) + "/task";
    DIR* folder = ::opendir(tasks.c_str());
    if (!folder) return names;
    while (const dirent* entry = ::readdir(folder)) {
      if (entry->d_name[0] == '.') continue;
      std::ifstream comm(tasks + "/" + entry->d_name + "/comm");
      std::string name;
      if (std::getline(comm, name)) names.push_back(name);
    }
    ::closedir(folder);
    return names;
  }

 private:
  pid_t pid_ = -1;
  std::optional<int> status_;
  std::filesystem::path output_;
};

}  // namespace veltrano::testing
