#include "support/signaling_test_service.hpp"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <stdexcept>

#ifndef VELTRANO_TEST_SUPPORT_DIR
#error "VELTRANO_TEST_SUPPORT_DIR must be defined by the build"
#endif

extern char** environ;

namespace veltrano::testing {

SignalingTestService::SignalingTestService() : SignalingTestService({}, {}) {}

SignalingTestService::SignalingTestService(const std::string& networkNamespace, const std::string& address) {
  int commands[2];
  int events[2];
  if (::pipe2(commands, O_CLOEXEC) != 0 || ::pipe2(events, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, commands[0], 0);
  posix_spawn_file_actions_adddup2(&actions, events[1], 1);
  const std::string script = std::string(VELTRANO_TEST_SUPPORT_DIR) + "/signaling_service.py";
  const std::string folder = folder_.path().string();
  std::vector<std::string> words{"/usr/bin/python3", script, folder};
  if (!address.empty()) words.push_back(address);
  if (!networkNamespace.empty()) words.insert(words.begin(), {"ip", "netns", "exec", networkNamespace});
  std::vector<char*> argv;
  for (auto& word : words) argv.push_back(word.data());
  argv.push_back(nullptr);
  const int spawned = posix_spawnp(&pid_, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  ::close(commands[0]);
  ::close(events[1]);
  commandFd_ = commands[1];
  if (spawned != 0) {
    ::close(events[0]);
    throw std::runtime_error("could not start the signaling service");
  }
  reader_ = std::thread([this, fd = events[0]] { readEvents(fd); });
  auto ready = waitForEvent("ready ");
  if (!ready) throw std::runtime_error("the signaling service did not start (python3-websockets missing?)");
  port_ = static_cast<std::uint16_t>(std::stoi(ready->substr(6)));
}

SignalingTestService::~SignalingTestService() {
  ::close(commandFd_);  // end of input ends the service
  int status = 0;
  for (int i = 0; i < 500 && ::waitpid(pid_, &status, WNOHANG) == 0; ++i) ::usleep(10000);
  if (::waitpid(pid_, &status, WNOHANG) == 0) {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, &status, 0);
  }
  reader_.join();
}

platform::WssEndpoint SignalingTestService::endpoint(const std::string& host) const {
  return platform::WssEndpoint{host, port_, "/veltrano/v1/signal"};
}

platform::WebSocketOptions SignalingTestService::trustingOptions() const {
  platform::WebSocketOptions options;
  options.trustedCertificatesPem = authorityPem();
  return options;
}

void SignalingTestService::command(const std::string& line) {
  const std::string text = line + "\n";
  if (::write(commandFd_, text.data(), text.size()) != static_cast<ssize_t>(text.size())) {
    throw std::runtime_error("the signaling service does not take commands");
  }
}

void SignalingTestService::readEvents(int fd) {
  std::string pending;
  char buffer[4096];
  while (true) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n <= 0) break;
    pending.append(buffer, static_cast<std::size_t>(n));
    std::size_t end;
    while ((end = pending.find('\n')) != std::string::npos) {
      {
        std::lock_guard lock(mutex_);
        events_.push_back(pending.substr(0, end));
      }
      pending.erase(0, end + 1);
      changed_.notify_all();
    }
  }
  ::close(fd);
}

std::optional<std::string> SignalingTestService::waitForEvent(const std::string& prefix, std::size_t from,
                                                              std::chrono::milliseconds timeout) {
  std::unique_lock lock(mutex_);
  std::optional<std::string> found;
  changed_.wait_for(lock, timeout, [&] {
    for (std::size_t i = from; i < events_.size(); ++i) {
      if (events_[i].rfind(prefix, 0) == 0) {
        found = events_[i];
        return true;
      }
    }
    return false;
  });
  return found;
}

std::size_t SignalingTestService::eventCount() const {
  std::lock_guard lock(mutex_);
  return events_.size();
}

std::vector<std::string> SignalingTestService::events() const {
  std::lock_guard lock(mutex_);
  return events_;
}

}  // namespace veltrano::testing
