#pragma once
// Product analytics: track() queues one report and returns at once; a background request POSTs it as JSON over
// HTTPS. Reports go out one at a time, in order; at most `maxPending` wait (the one being sent included) and
// further ones are dropped. Failures are dropped silently.
#include "core/analytics_event.hpp"
#include "platform/http/https_endpoint.hpp"

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace veltrano {

class ProductAnalytics {
 public:
  using Event = AnalyticsEvent;

  // How one report ended; for tests and diagnostics only.
  struct DeliveryReport {
    enum class Result { delivered, failed, timedOut, cancelled, dropped };
    Event event = Event::server_app_open;
    std::optional<std::string> detail;
    Result result = Result::failed;
    int httpStatus = 0;  // when delivered (any HTTP answer counts as delivered)
  };

  struct Options {
    // nullopt (a build URL that does not parse) sends nothing.
    std::optional<platform::HttpsEndpoint> endpoint = defaultEndpoint();
    // The device identifier ("mac-" and a lowercase UUID), asked at each track() on the caller's thread.
    std::function<std::string()> deviceId;
    std::string appVersion = defaultAppVersion();
    std::chrono::milliseconds timeout{10000};
    std::size_t maxPending = 64;
    std::string extraTrustedCertificatesPem;  // tests trust their own certificate
    // Runs once per tracked report when it ends: on an I/O thread, or on the caller's thread when dropped.
    std::function<void(const DeliveryReport&)> onDeliveryEnded;
  };

  explicit ProductAnalytics(Options options);
  // Cancels the report being sent and forgets the queued ones; does not wait.
  ~ProductAnalytics();
  ProductAnalytics(const ProductAnalytics&) = delete;
  ProductAnalytics& operator=(const ProductAnalytics&) = delete;

  // Never blocks and never throws.
  void track(Event event, std::optional<std::string> detail = std::nullopt);

  static std::optional<platform::HttpsEndpoint> defaultEndpoint();  // the build's analytics URL
  // $VELTRANO_ANALYTICS_URL when set, else the build's; a value that is not an https URL is logged and ignored.
  static std::optional<platform::HttpsEndpoint> configuredEndpoint();
  static std::string defaultAppVersion();

 private:
  struct State;
  std::shared_ptr<State> state_;
};

}  // namespace veltrano
