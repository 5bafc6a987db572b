#pragma once
// A DNS-SD service registration as the host's code sees it: one service (domain, type, name, port, no TXT record)
// that is published, confirmed or refused, and withdrawn. Everything runs on the main thread: the calls, and the
// delegate's callbacks, which always come later than the call that caused them and never after stop() or
// removeDelegate().
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>

namespace veltrano::platform {

// Why a publication was refused: numbers under names ("code" is the backend's error number).
using ServiceErrorDictionary = std::map<std::string, std::int64_t>;
inline constexpr const char* serviceErrorCodeKey = "code";

// The dictionary as text, for log lines: "{code = -26}".
std::string describe(const ServiceErrorDictionary& errors);

class NetworkService {
 public:
  struct Delegate {
    // `name` is the name the service is published under: the one asked for, or its replacement after a
    // name conflict ("name #2").
    std::function<void(const std::string& name)> didPublish;
    std::function<void(const ServiceErrorDictionary& errors)> didNotPublish;
  };

  virtual ~NetworkService() = default;  // stops the service

  virtual void setDelegate(Delegate delegate) = 0;
  virtual void removeDelegate() = 0;
  // Starts the publication; the outcome reaches the delegate. Call once.
  virtual void publish() = 0;
  // Withdraws the service. Idempotent.
  virtual void stop() = 0;
  virtual std::uint16_t port() const = 0;
};

// Makes a service that is not published yet. `domain` and `type` are written with their final dot
// ("local.", "_veltrano._tcp.").
using NetworkServiceFactory = std::function<std::shared_ptr<NetworkService>(
    const std::string& domain, const std::string& type, const std::string& name, std::uint16_t port)>;

}  // namespace veltrano::platform
