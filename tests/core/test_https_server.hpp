#pragma once
// A local HTTPS server for tests, on 127.0.0.1 with a self-signed certificate made at start.
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace veltrano::testing {

struct TestCertificate {
  std::string certificatePem;
  std::string privateKeyPem;
};

// A fresh P-256 certificate for "127.0.0.1" and "localhost", valid for an hour, signed by itself.
TestCertificate makeSelfSignedCertificate();

struct ReceivedRequest {
  std::string method;
  std::string target;
  std::string host;
  std::string contentType;
  std::string body;
};

class TestHttpsServer {
 public:
  enum class Mode {
    respond,  // TLS, read one request, answer 204
    hang,     // accept the TCP connection and never answer, not even the TLS handshake
  };

  explicit TestHttpsServer(Mode mode);
  ~TestHttpsServer();

  std::uint16_t port() const;
  const std::string& certificatePem() const;
  std::vector<ReceivedRequest> requests() const;
  // Waits until `count` requests have arrived or `timeout` passed; returns whether they did.
  bool waitForRequests(std::size_t count, std::chrono::milliseconds timeout) const;
  bool waitForConnections(int count, std::chrono::milliseconds timeout) const;
  // Hang mode: waits until `count` clients have closed their connections.
  bool waitForClientClose(int count, std::chrono::milliseconds timeout) const;

 private:
  bool waitUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout) const;

  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// A loopback port with nothing listening on it.
std::uint16_t closedLoopbackPort();

}  // namespace veltrano::testing
