#pragma once
// Makes the host findable on the local network: publishes one DNS-SD service "_veltrano._tcp." in "local." for
// the control port and lets the caller wait until it is confirmed, refused or timed out. Main thread only.
#include <boost/asio/awaitable.hpp>

#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>

#include "base/clock.hpp"
#include "base/continuation.hpp"
#include "base/task.hpp"
#include "base/uuid.hpp"
#include "platform/dnssd/network_service.hpp"

namespace veltrano {

class BonjourPublisher : public std::enable_shared_from_this<BonjourPublisher> {
 public:
  static constexpr const char* serviceDomain = "local.";
  static constexpr const char* serviceType = "_veltrano._tcp.";

  // what() is the localized description.
  class PublishError : public std::runtime_error {
   public:
    enum class Kind { rejected, timedOut };
    static PublishError rejected(platform::ServiceErrorDictionary errors);
    static PublishError timedOut();

    Kind kind() const { return kind_; }
    // The system's error dictionary of a refusal; empty for a time-out.
    const platform::ServiceErrorDictionary& errors() const { return errors_; }

   private:
    PublishError(Kind kind, platform::ServiceErrorDictionary errors);
    Kind kind_;
    platform::ServiceErrorDictionary errors_;
  };

  // Publishes through the Avahi daemon; the time-out sleeps on `clock`, which must outlive the publisher.
  static std::shared_ptr<BonjourPublisher> create(Clock& clock = systemClock());
  static std::shared_ptr<BonjourPublisher> create(platform::NetworkServiceFactory makeService, Clock& clock);

  BonjourPublisher(const BonjourPublisher&) = delete;
  BonjourPublisher& operator=(const BonjourPublisher&) = delete;

  // Withdraws any earlier publication, then publishes. Returns once the service is confirmed; throws
  // PublishError, or CancellationError when `token` (may be null) is cancelled or the publication is withdrawn
  // or replaced before its outcome.
  asio::awaitable<void> start(TaskToken token, std::string name, std::uint16_t port, Clock::Duration timeout);
  // Withdraws whatever is published or pending; a pending start throws CancellationError.
  void stopPublication();

 private:
  template <class U, class... A>
  friend std::shared_ptr<U> makeMainThreadOwned(A&&...);
  BonjourPublisher(platform::NetworkServiceFactory makeService, Clock& clock);

  struct PendingPublication {
    Uuid id;
    std::shared_ptr<platform::NetworkService> service;
    Continuation<> continuation;
  };

  void installDelegate(const std::shared_ptr<platform::NetworkService>& service);
  void startTimeout(const Uuid& id, const platform::NetworkService* service, Clock::Duration timeout);
  void didPublish(const platform::NetworkService* sender, const std::string& name);
  void didNotPublish(const platform::NetworkService* sender, const platform::ServiceErrorDictionary& errors);
  void cancelPending(const Uuid& id);
  // Ends the pending publication `id` of `service`: a success when `error` is null. Stale outcomes do nothing.
  void finishPublication(const Uuid& id, const platform::NetworkService* service, std::exception_ptr error);

  std::shared_ptr<platform::NetworkService> service_;
  std::optional<PendingPublication> pendingPublication_;
  Task timeoutTask_;
  platform::NetworkServiceFactory makeService_;
  Clock& clock_;
};

}  // namespace veltrano
