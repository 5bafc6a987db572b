#include "support/peer_process.hpp"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <stdexcept>

namespace veltrano::testing {

PeerProcess::PeerProcess(const std::string& command, bool readsInput) : readsInput_(readsInput) {
  int toChild[2];
  int fromChild[2];
  if (pipe2(toChild, O_CLOEXEC) != 0 || pipe2(fromChild, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
  pid_ = fork();
  if (pid_ < 0) throw std::runtime_error("fork failed");
  if (pid_ == 0) {
    dup2(toChild[0], STDIN_FILENO);
    dup2(fromChild[1], STDOUT_FILENO);
    setpgid(0, 0);
    // The peer must not keep what the test process holds open (a host's listening sockets, for one).
    closefrom(STDERR_FILENO + 1);
    execl("/bin/sh", "sh", "-c", command.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  setpgid(pid_, pid_);
  // A peer that died must fail the test, not kill it.
  signal(SIGPIPE, SIG_IGN);
  close(toChild[0]);
  close(fromChild[1]);
  input_ = toChild[1];
  reader_ = std::thread([this, fd = fromChild[0]] { readLines(fd); });
}

PeerProcess::~PeerProcess() {
  close(input_);
  // Scripts shut their peers (a browser) down cleanly when their input ends.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(readsInput_ ? 10 : 0);
  bool exited = false;
  while (!(exited = waitpid(pid_, nullptr, WNOHANG) == pid_) && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  // The script runs in a process group of its own, with whatever it started.
  kill(-pid_, SIGTERM);
  if (!exited) waitpid(pid_, nullptr, 0);
  reader_.join();
}

void PeerProcess::readLines(int fd) {
  std::string pending;
  char buffer[65536];
  for (;;) {
    const auto count = read(fd, buffer, sizeof buffer);
    if (count <= 0) break;
    pending.append(buffer, static_cast<std::size_t>(count));
    for (auto end = pending.find('\n'); end != std::string::npos; end = pending.find('\n')) {
      auto message = nlohmann::json::parse(pending.substr(0, end), nullptr, false);
      pending.erase(0, end + 1);
      if (message.is_discarded()) continue;
      if (auto handler = routeFor(message.value("type", ""))) {
        handler(message);
        continue;
      }
      std::lock_guard lock(mutex_);
      messages_.push_back(std::move(message));
      arrived_.notify_all();
    }
  }
  close(fd);
}

void PeerProcess::route(const std::string& type, std::function<void(const nlohmann::json&)> handler) {
  std::lock_guard lock(routesMutex_);
  routes_[type] = std::move(handler);
}

std::function<void(const nlohmann::json&)> PeerProcess::routeFor(const std::string& type) {
  std::lock_guard lock(routesMutex_);
  const auto found = routes_.find(type);
  return found == routes_.end() ? nullptr : found->second;
}

void PeerProcess::send(const nlohmann::json& message) {
  const std::string line = message.dump() + "\n";
  std::lock_guard lock(sendMutex_);
  std::size_t written = 0;
  while (written < line.size()) {
    const auto count = write(input_, line.data() + written, line.size() - written);
    if (count <= 0) throw std::runtime_error("the peer process is gone");
    written += static_cast<std::size_t>(count);
  }
}

std::optional<nlohmann::json> PeerProcess::take(const std::function<bool(const nlohmann::json&)>& matches,
                                                std::chrono::milliseconds timeout) {
  std::unique_lock lock(mutex_);
  std::optional<nlohmann::json> found;
  arrived_.wait_for(lock, timeout, [&] {
    for (auto it = messages_.begin(); it != messages_.end(); ++it) {
      if (matches(*it)) {
        found = std::move(*it);
        messages_.erase(it);
        return true;
      }
    }
    return false;
  });
  return found;
}

std::optional<nlohmann::json> PeerProcess::take(const std::string& type, std::chrono::milliseconds timeout) {
  return take([&](const nlohmann::json& message) { return message.value("type", "") == type; }, timeout);
}

}  // namespace veltrano::testing
