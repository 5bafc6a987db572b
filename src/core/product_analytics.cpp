#include "core/product_analytics.hpp"

#include "core/analytics_payload.hpp"
#include "core/app_logger.hpp"
#include "platform/http/https_post_client.hpp"

#include <cstdlib>
#include <deque>
#include <mutex>

#ifndef VELTRANO_ANALYTICS_URL
#error "VELTRANO_ANALYTICS_URL must be defined by the build"
#endif
#ifndef VELTRANO_VERSION
#error "VELTRANO_VERSION must be defined by the build"
#endif

namespace veltrano {

namespace {

struct Queued {
  AnalyticsEvent event;
  std::optional<std::string> detail;
  std::string body;
};

ProductAnalytics::DeliveryReport::Result resultOf(const platform::HttpsPostOutcome& outcome) {
  using Result = ProductAnalytics::DeliveryReport::Result;
  switch (outcome.kind) {
    case platform::HttpsPostOutcome::Kind::responded: return Result::delivered;
    case platform::HttpsPostOutcome::Kind::timedOut: return Result::timedOut;
    case platform::HttpsPostOutcome::Kind::cancelled: return Result::cancelled;
    case platform::HttpsPostOutcome::Kind::failed: return Result::failed;
  }
  return Result::failed;
}

}  // namespace

struct ProductAnalytics::State : std::enable_shared_from_this<State> {
  explicit State(Options optionsIn) : options(std::move(optionsIn)) {
    platform::HttpsClientOptions clientOptions;
    clientOptions.timeout = options.timeout;
    clientOptions.extraTrustedCertificatesPem = options.extraTrustedCertificatesPem;
    clientOptions.userAgent = "Veltrano-Host/" + options.appVersion + " (Linux)";
    client = std::make_unique<platform::HttpsPostClient>(std::move(clientOptions));
  }

  void report(const Queued& item, DeliveryReport::Result result, int status) const {
    if (!options.onDeliveryEnded) return;
    try {
      options.onDeliveryEnded(DeliveryReport{item.event, item.detail, result, status});
    } catch (...) {
    }
  }

  // Called with `mutex` held. The client never completes inline, so holding the lock here is safe.
  void sendNextLocked() {
    if (stopped || queue.empty() || inFlight) return;
    inFlight = true;
    auto item = std::make_shared<Queued>(std::move(queue.front()));
    queue.pop_front();
    auto body = item->body;
    std::weak_ptr<State> weak = shared_from_this();
    client->post(*options.endpoint, std::move(body), "application/json",
                 [weak, item](platform::HttpsPostOutcome outcome) {
                   auto self = weak.lock();
                   if (!self) return;
                   self->report(*item, resultOf(outcome), outcome.status);
                   std::lock_guard lock(self->mutex);
                   self->inFlight = false;
                   self->sendNextLocked();
                 });
  }

  Options options;
  std::mutex mutex;
  std::unique_ptr<platform::HttpsPostClient> client;
  std::deque<Queued> queue;
  bool inFlight = false;
  bool stopped = false;
};

ProductAnalytics::ProductAnalytics(Options options) : state_(std::make_shared<State>(std::move(options))) {}

ProductAnalytics::~ProductAnalytics() {
  std::unique_ptr<platform::HttpsPostClient> client;
  {
    std::lock_guard lock(state_->mutex);
    state_->stopped = true;
    state_->queue.clear();
    client = std::move(state_->client);
  }
  client.reset();  // cancels the request in flight
}

void ProductAnalytics::track(Event event, std::optional<std::string> detail) {
  try {
    auto& options = state_->options;
    Queued item{event, std::move(detail), {}};
    if (!options.endpoint) {
      state_->report(item, DeliveryReport::Result::failed, 0);
      return;
    }
    AnalyticsReport payload;
    payload.event = event;
    payload.detail = item.detail;
    payload.deviceId = options.deviceId ? options.deviceId() : std::string();
    payload.appVersion = options.appVersion;
    payload.timestamp = std::chrono::system_clock::now();
    item.body = analyticsPayloadJson(payload);

    bool dropped = false;
    {
      std::lock_guard lock(state_->mutex);
      if (state_->queue.size() + (state_->inFlight ? 1 : 0) >= options.maxPending) {
        dropped = true;
      } else {
        state_->queue.push_back(item);
        state_->sendNextLocked();
      }
    }
    if (dropped) state_->report(item, DeliveryReport::Result::dropped, 0);
  } catch (...) {
    // Analytics never fails its caller.
  }
}

std::optional<platform::HttpsEndpoint> ProductAnalytics::defaultEndpoint() {
  return platform::parseHttpsUrl(VELTRANO_ANALYTICS_URL);
}

std::optional<platform::HttpsEndpoint> ProductAnalytics::configuredEndpoint() {
  const char* configured = std::getenv("VELTRANO_ANALYTICS_URL");
  if (!configured || !*configured) return defaultEndpoint();
  if (auto endpoint = platform::parseHttpsUrl(configured)) return endpoint;
  log(LogCategory::Error,
      std::string("analytics: VELTRANO_ANALYTICS_URL is not an https URL, using the built-in one: ") + configured);
  return defaultEndpoint();
}

std::string ProductAnalytics::defaultAppVersion() { return VELTRANO_VERSION; }

}  // namespace veltrano
