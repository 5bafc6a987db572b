#include "control/bonjour_publisher.hpp"
#include "base/thread_checks.hpp"

#include <fmt/format.h>

#include <utility>

#include "base/executors.hpp"
#include "control/control_localized_strings.hpp"
#include "control/main_thread_owned.hpp"
#include "core/app_logger.hpp"
#include "core/localization.hpp"
#include "platform/dnssd/avahi_network_service.hpp"

namespace veltrano {

namespace {
std::string descriptionOf(BonjourPublisher::PublishError::Kind kind) {
  registerControlLocalizedStrings();
  return localized(kind == BonjourPublisher::PublishError::Kind::rejected ? "host.error.bonjour_rejected"
                                                                          : "host.error.bonjour_timeout");
}
}  // namespace

BonjourPublisher::PublishError::PublishError(Kind kind, platform::ServiceErrorDictionary errors)
    : std::runtime_error(descriptionOf(kind)),
      kind_(kind),
      errors_(std::move(errors)) {}

BonjourPublisher::PublishError BonjourPublisher::PublishError::rejected(platform::ServiceErrorDictionary errors) {
  return PublishError(Kind::rejected, std::move(errors));
}

BonjourPublisher::PublishError BonjourPublisher::PublishError::timedOut() { return PublishError(Kind::timedOut, {}); }

std::shared_ptr<BonjourPublisher> BonjourPublisher::create(Clock& clock) {
  return create(platform::makeAvahiNetworkService, clock);
}

std::shared_ptr<BonjourPublisher> BonjourPublisher::create(platform::NetworkServiceFactory makeService, Clock& clock) {
  return makeMainThreadOwned<BonjourPublisher>(std::move(makeService), clock);
}

BonjourPublisher::BonjourPublisher(platform::NetworkServiceFactory makeService, Clock& clock)
    : makeService_(std::move(makeService)), clock_(clock) {}

asio::awaitable<void> BonjourPublisher::start(TaskToken token, std::string name, std::uint16_t port,
                                              Clock::Duration timeout) {
  assertOnMainThread();
  const auto keepAlive = shared_from_this();
  stopPublication();
  auto service = makeService_(serviceDomain, serviceType, name, port);
  installDelegate(service);
  service_ = service;
  const Uuid id = Uuid::random();
  const Continuation<> continuation;
  pendingPublication_ = PendingPublication{id, service, continuation};
  startTimeout(id, service.get(), timeout);

  std::uint64_t cancelHook = 0;
  if (token && token->isCancelled()) {
    finishPublication(id, service.get(), std::make_exception_ptr(CancellationError()));
  } else {
    service->publish();
    log(LogCategory::NET,
        [&] { return fmt::format("Bonjour publish: name=\"{}\" type={} port={}", name, serviceType, port); });
    if (token) {
      // The hook may run on any thread; the pending publication is only touched on the main thread.
      cancelHook = token->onCancel([weak = weak_from_this(), id] {
        performOnMainRunLoop([weak, id] {
          if (auto self = weak.lock()) self->cancelPending(id);
        });
      });
    }
  }
  std::exception_ptr failure;
  try {
    co_await continuation.wait();
  } catch (...) {
    failure = std::current_exception();
  }
  if (cancelHook != 0) token->removeCancelHook(cancelHook);
  if (failure) std::rethrow_exception(failure);
}

void BonjourPublisher::installDelegate(const std::shared_ptr<platform::NetworkService>& service) {
  // The service keeps its delegate; a raw pointer identifies the sender without keeping it alive.
  const platform::NetworkService* sender = service.get();
  service->setDelegate({
      .didPublish =
          [weak = weak_from_this(), sender](const std::string& name) {
            if (auto self = weak.lock()) self->didPublish(sender, name);
          },
      .didNotPublish =
          [weak = weak_from_this(), sender](const platform::ServiceErrorDictionary& errors) {
            if (auto self = weak.lock()) self->didNotPublish(sender, errors);
          },
  });
}

void BonjourPublisher::startTimeout(const Uuid& id, const platform::NetworkService* service, Clock::Duration timeout) {
  timeoutTask_ = Task::spawn(mainExecutor(), [weak = weak_from_this(), id, service, timeout,
                                              clock = &clock_](TaskToken token) -> asio::awaitable<void> {
    co_await sleepFor(token, *clock, timeout);
    if (token->isCancelled()) co_return;  // a cancel can come after the wake was queued
    if (auto self = weak.lock()) {
      self->finishPublication(id, service, std::make_exception_ptr(PublishError::timedOut()));
    }
  });
}

void BonjourPublisher::didPublish(const platform::NetworkService* sender, const std::string& name) {
  assertOnMainThread();
  const bool pending = pendingPublication_ && pendingPublication_->service.get() == sender;
  // The published service of a running host comes back after a restart of the DNS-SD daemon.
  const bool republished = !pending && service_ && service_.get() == sender;
  if (!pending && !republished) return;
  log(LogCategory::NET, [&] { return fmt::format("Bonjour ready: name=\"{}\" port={}", name, sender->port()); });
  if (pending) finishPublication(pendingPublication_->id, sender, nullptr);
}

void BonjourPublisher::didNotPublish(const platform::NetworkService* sender,
                                     const platform::ServiceErrorDictionary& errors) {
  assertOnMainThread();
  log(LogCategory::Error, [&] { return "Bonjour publish failed: " + platform::describe(errors); });
  if (!pendingPublication_ || pendingPublication_->service.get() != sender) return;
  finishPublication(pendingPublication_->id, sender, std::make_exception_ptr(PublishError::rejected(errors)));
}

void BonjourPublisher::cancelPending(const Uuid& id) {
  if (!pendingPublication_ || pendingPublication_->id != id) return;
  finishPublication(id, pendingPublication_->service.get(), std::make_exception_ptr(CancellationError()));
}

void BonjourPublisher::finishPublication(const Uuid& id, const platform::NetworkService* service,
                                         std::exception_ptr error) {
  if (!pendingPublication_ || pendingPublication_->id != id || pendingPublication_->service.get() != service) return;
  PendingPublication pending = std::move(*std::exchange(pendingPublication_, std::nullopt));
  if (Task timeout = std::exchange(timeoutTask_, Task())) timeout.cancel();
  if (!error) {
    pending.continuation.resume();  // the service stays published
    return;
  }
  if (service_ == pending.service) service_.reset();
  pending.service->stop();
  pending.service->removeDelegate();
  pending.continuation.resumeThrowing(std::move(error));
}

void BonjourPublisher::stopPublication() {
  assertOnMainThread();
  if (Task timeout = std::exchange(timeoutTask_, Task())) timeout.cancel();
  std::optional<PendingPublication> pending = std::exchange(pendingPublication_, std::nullopt);
  if (auto service = std::exchange(service_, nullptr)) {
    service->stop();
    service->removeDelegate();
  }
  if (pending) pending->continuation.resumeThrowing(std::make_exception_ptr(CancellationError()));
}

}  // namespace veltrano
