#pragma once
// Starts tests/support/signaling_service.py (a local wss signaling service with a certificate authority made at
// start), sends it commands and waits for the events it prints.
#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/websocket/websocket_connection.hpp"
#include "support/temporary_folder.hpp"

namespace veltrano::testing {

class SignalingTestService {
 public:
  SignalingTestService();
  // Listens on `address` (which its certificate names too) inside the network namespace `networkNamespace`.
  SignalingTestService(const std::string& networkNamespace, const std::string& address);
  ~SignalingTestService();
  SignalingTestService(const SignalingTestService&) = delete;
  SignalingTestService& operator=(const SignalingTestService&) = delete;

  std::uint16_t port() const { return port_; }
  // The signaling path on "localhost", which the server's certificate names.
  platform::WssEndpoint endpoint(const std::string& host = "localhost") const;
  // Trusts the service's authority, with a short request time-out for tests that wait for one.
  platform::WebSocketOptions trustingOptions() const;
  std::string authorityPem() const { return readText(folder_ / "ca.pem"); }
  std::string unrelatedAuthorityPem() const { return readText(folder_ / "other-ca.pem"); }

  void command(const std::string& line);
  // The first event line from `from` on that starts with `prefix`; nullopt after `timeout`.
  std::optional<std::string> waitForEvent(const std::string& prefix, std::size_t from = 0,
                                          std::chrono::milliseconds timeout = std::chrono::seconds(20));
  std::size_t eventCount() const;
  std::vector<std::string> events() const;

 private:
  void readEvents(int fd);

  TemporaryFolder folder_{"veltrano-signaling"};
  pid_t pid_ = -1;
  int commandFd_ = -1;
  std::uint16_t port_ = 0;
  std::thread reader_;
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<std::string> events_;
};

}  // namespace veltrano::testing
