// The permission gate: reading both permissions, the automatic start once they are granted, stopping a host that
// lost one (keeping the automatic start armed), the 0.5-second poll while one is missing, and the requests.
#include <utility>

#include "base/executors.hpp"
#include "base/main_thread_call.hpp"
#include "base/thread_checks.hpp"
#include "core/app_logger.hpp"
#include "core/metrics_store.hpp"
#include "host/host_view_model.hpp"

namespace veltrano {
namespace {

constexpr const char* granted = "granted";
constexpr const char* missing = "missing";

const char* statusText(bool isGranted) { return isGranted ? granted : missing; }

AnalyticsEvent changeEvent(bool isGranted) {
  return isGranted ? AnalyticsEvent::server_permission_granted : AnalyticsEvent::server_permission_missing;
}

}  // namespace

bool HostViewModel::hasAllPermissions() const {
  assertOnMainThread();
  return metrics->screenRecordingStatus.get() == granted && metrics->accessibilityStatus.get() == granted;
}

bool HostViewModel::readAccessibility() {
  assertOnMainThread();
  const bool isGranted = permissions->isAccessibilityTrusted() || permissions->preflightPostEventAccess();
  log(LogCategory::PERMISSION, std::string("Accessibility: ") + statusText(isGranted));
  return isGranted;
}

asio::awaitable<void> HostViewModel::prepareForLaunch(bool onboardingCompleted) {
  assertOnMainThread();
  if (didPrepareForLaunch_) co_return;
  didPrepareForLaunch_ = true;
  permissionOnboardingCompleted_ = onboardingCompleted;
  loginItem_.readStatus();
  pendingAutomaticStart_ = onboardingCompleted;
  co_await refreshPermissions();
}

asio::awaitable<void> HostViewModel::refreshPermissions() {
  if (isOnMainThread()) {
    applyPermissionRefresh();
    co_return;
  }
  auto operation = onMainThread(refreshOnMain(weak_from_this()));
  co_await std::move(operation);
}

asio::awaitable<void> HostViewModel::refreshOnMain(Weak weak) {
  if (auto self = weak.lock()) self->applyPermissionRefresh();
  co_return;
}

void HostViewModel::applyPermissionRefresh() {
  assertOnMainThread();
  const bool screenRecording = readScreenRecording();
  const bool accessibility = readAccessibility();
  const auto previousScreenRecording = metrics->screenRecordingStatus.get();
  const auto previousAccessibility = metrics->accessibilityStatus.get();
  metrics->screenRecordingStatus.set(statusText(screenRecording));
  metrics->accessibilityStatus.set(statusText(accessibility));
  hasResolvedPermissions_.set(true);
  if (previousScreenRecording != statusText(screenRecording)) track(changeEvent(screenRecording), "screen_recording");
  if (previousAccessibility != statusText(accessibility)) track(changeEvent(accessibility), "accessibility");

  if (screenRecording) {
    showScreenRecordingRecoveryHelp_.set(false);
  } else if (hasRequestedScreenRecording_) {
    showScreenRecordingRecoveryHelp_.set(true);
  }
  if (!didPrepareForLaunch_) return;

  if (hasAllPermissions()) {
    requiresPermissionGate_.set(false);
    cancelPermissionPolling();
    if (permissionOnboardingCompleted_ && pendingAutomaticStart_ && hasAllPermissions()) {
      pendingAutomaticStart_ = false;
      startServer();
    }
    return;
  }
  if (permissionOnboardingCompleted_) requiresPermissionGate_.set(true);
  if (metrics->isRunning.get() || isStarting_.get()) {
    // The host comes back by itself once the permission returns.
    pendingAutomaticStart_ = true;
    stopServer(true);
  }
  if (!permissionPollTask_.get()) startPermissionPolling();
}

void HostViewModel::completePermissionOnboarding() {
  assertOnMainThread();
  permissionOnboardingCompleted_ = true;
  requiresPermissionGate_.set(false);
  pendingAutomaticStart_ = true;
  cancelPermissionPolling();
  if (pendingAutomaticStart_ && hasAllPermissions()) {
    pendingAutomaticStart_ = false;
    startServer();
  }
}

void HostViewModel::startPermissionPolling() {
  assertOnMainThread();
  if (hasAllPermissions() || permissionPollTask_.get()) return;
  Weak weak = weak_from_this();
  Clock* clock = &clock_;
  permissionPollTask_.set(
      {spawnOnMain([weak, clock](TaskToken token) { return pollPermissions(weak, std::move(token), clock); })});
}

void HostViewModel::cancelPermissionPolling() {
  assertOnMainThread();
  Task poll = permissionPollTask_.get().task;
  permissionPollTask_.set({});
  poll.cancel();
}

asio::awaitable<void> HostViewModel::pollPermissions(Weak weak, TaskToken token, Clock* clock) {
  while (!token->isCancelled()) {
    bool slept = true;
    try {
      co_await sleepFor(token, *clock, permissionPollInterval);
    } catch (const CancellationError&) {
      slept = false;
    }
    if (!slept || token->isCancelled()) break;
    auto self = weak.lock();
    if (!self) break;
    self->applyPermissionRefresh();
    if (self->hasAllPermissions() || token->isCancelled()) break;
  }
  // A poll that ends by itself gives up its handle, or no later refresh would start a new one.
  if (auto self = weak.lock(); self && self->permissionPollTask_.get().task.token() == token) {
    self->permissionPollTask_.set({});
  }
}

void HostViewModel::requestAccessibilityPermission() {
  assertOnMainThread();
  track(AnalyticsEvent::server_permission_requested, "accessibility");
  Clock::Duration delay{0};
  if (permissions->isAccessibilityTrusted()) {
    log(LogCategory::PERMISSION, std::string("Accessibility: ") + granted);
  } else {
    const bool mayPost = permissions->preflightPostEventAccess();
    log(LogCategory::PERMISSION, std::string("Accessibility: ") + statusText(mayPost));
    if (!mayPost) {
      permissions->ensureAccessibilityAccess();
      startPermissionPolling();
      delay = std::chrono::seconds(1);
    }
  }
  startPermissionFollowUp(delay);
}

void HostViewModel::requestScreenRecordingPermission() {
  assertOnMainThread();
  track(AnalyticsEvent::server_permission_requested, "screen_recording");
  if (readScreenRecording()) {
    startPermissionFollowUp(Clock::Duration{0});
    return;
  }
  hasRequestedScreenRecording_ = true;
  showScreenRecordingRecoveryHelp_.set(!permissions->ensureScreenRecordingAccess());
  startPermissionPolling();
  startPermissionFollowUp(std::chrono::milliseconds(500));
}

void HostViewModel::startPermissionFollowUp(Clock::Duration delay) {
  assertOnMainThread();
  // Holds the model until the refresh has run.
  auto self = shared_from_this();
  Clock* clock = &clock_;
  spawnOnMain([self, delay, clock](TaskToken token) { return followUpRefresh(self, delay, clock, std::move(token)); });
}

asio::awaitable<void> HostViewModel::followUpRefresh(std::shared_ptr<HostViewModel> self, Clock::Duration delay,
                                                     Clock* clock, TaskToken token) {
  if (delay > Clock::Duration::zero()) {
    try {
      co_await sleepFor(token, *clock, delay);
    } catch (const CancellationError&) {
      // The refresh runs all the same.
    }
  }
  self->applyPermissionRefresh();
}

}  // namespace veltrano
