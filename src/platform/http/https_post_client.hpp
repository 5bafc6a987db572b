#pragma once
// HTTPS POST over TLS with the system's trust store, run on the shared I/O context. No Asio in this header.
#include "platform/http/https_endpoint.hpp"

#include <chrono>
#include <functional>
#include <memory>
#include <string>

namespace veltrano::platform {

struct HttpsPostOutcome {
  enum class Kind { responded, failed, timedOut, cancelled };
  Kind kind = Kind::failed;
  int status = 0;     // HTTP status when responded
  std::string error;  // what went wrong otherwise
};

struct HttpsClientOptions {
  // The whole request (resolve, connect, TLS, write, read) must end within this time.
  std::chrono::milliseconds timeout{10000};
  // PEM certificates trusted in addition to the system's (tests use a self-signed one).
  std::string extraTrustedCertificatesPem;
  std::string userAgent;
};

class HttpsPostClient {
 public:
  explicit HttpsPostClient(HttpsClientOptions options);
  // Cancels the requests still running; their completions still run (with `cancelled`) on an I/O thread.
  ~HttpsPostClient();
  HttpsPostClient(const HttpsPostClient&) = delete;
  HttpsPostClient& operator=(const HttpsPostClient&) = delete;

  // Starts one POST and returns at once; `done` runs exactly once on an I/O thread. Never throws.
  void post(const HttpsEndpoint& endpoint, std::string body, std::string contentType,
            std::function<void(HttpsPostOutcome)> done);

 private:
  struct Shared;
  std::shared_ptr<Shared> shared_;
};

}  // namespace veltrano::platform
