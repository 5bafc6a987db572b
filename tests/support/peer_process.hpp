#pragma once
// A peer program (a Python or Node script standing in for a tablet) that talks JSON, one object per line, on its
// standard input and output. Its standard error goes to the test's output.
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

namespace veltrano::testing {

class PeerProcess {
 public:
  // `command` runs through /bin/sh. At the end its input is closed and it may finish on its own for a while, unless
  // it does not read its input (`readsInput` false): then it is terminated at once.
  explicit PeerProcess(const std::string& command, bool readsInput = true);
  ~PeerProcess();
  PeerProcess(const PeerProcess&) = delete;
  PeerProcess& operator=(const PeerProcess&) = delete;

  // Thread-safe.
  void send(const nlohmann::json& message);
  // Messages of `type` from now on go to `handler`, on the process's reader thread, instead of waiting for take().
  void route(const std::string& type, std::function<void(const nlohmann::json&)> handler);
  // Takes the first message so far or until `timeout` that satisfies `matches`; earlier messages that do not
  // match stay for later calls.
  std::optional<nlohmann::json> take(const std::function<bool(const nlohmann::json&)>& matches,
                                     std::chrono::milliseconds timeout = std::chrono::seconds(20));
  // The same for a message whose "type" is `type`.
  std::optional<nlohmann::json> take(const std::string& type,
                                     std::chrono::milliseconds timeout = std::chrono::seconds(20));

 private:
  void readLines(int fd);
  std::function<void(const nlohmann::json&)> routeFor(const std::string& type);

  int pid_ = -1;
  bool readsInput_;
  int input_ = -1;
  std::thread reader_;
  std::mutex mutex_;
  std::condition_variable arrived_;
  std::deque<nlohmann::json> messages_;
  std::mutex routesMutex_;
  std::map<std::string, std::function<void(const nlohmann::json&)>> routes_;
  std::mutex sendMutex_;
};

}  // namespace veltrano::testing
