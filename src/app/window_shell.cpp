#include "app/window_shell.hpp"

#include <boost/asio/co_spawn.hpp>

#include <QJSEngine>
#include <QPointer>

#include "app/main_coroutine.hpp"

namespace veltrano::app {

WindowShell::WindowShell(HostBridge& host, QSettings& settings, Options options, QObject* parent)
    : QObject(parent), host_(host), settings_(settings), options_(std::move(options)) {
  connect(&host_, &HostBridge::stateChanged, this, &WindowShell::contentChanged);
  connect(&host_, &HostBridge::hasAllPermissionsChanged, this, [this] { syncOnboarding(); });
}

bool WindowShell::onboardingCompleted() const { return settings_.value(onboardingFlagKey, false).toBool(); }

QString WindowShell::content() const {
  const HostSnapshot& state = host_.snapshot();
  const bool completed = onboardingCompleted();
  if (completed && !state.hasResolvedPermissions) return QStringLiteral("checking");
  if (!completed || state.requiresPermissionGate) return QStringLiteral("onboarding");
  return QStringLiteral("console");
}

void WindowShell::setPage(const QString& page) {
  if (page == page_ || (page != "overview" && page != "advanced")) return;
  page_ = page;
  emit pageChanged();
}

void WindowShell::setReduceMotion(bool reduced) {
  if (reduced == options_.reduceMotion) return;
  options_.reduceMotion = reduced;
  // The window stops its own animations first, so that the flow's settling values are not animated.
  emit reduceMotionChanged();
  if (onboarding_) onboarding_->setReduceMotion(reduced);
}

void WindowShell::viewShown() {
  QPointer<WindowShell> self(this);
  const bool completed = onboardingCompleted();
  spawnOnMain([](QPointer<WindowShell> self, bool completed) -> asio::awaitable<void> {
    if (!self) co_return;
    co_await self->host_.controls().prepareForLaunch(completed);
    if (self) self->syncOnboarding();
  }(self, completed));
}

WindowShell::WindowShell(HostBridge& host, QSettings& settings, QObject* parent)
    : WindowShell(host, settings, Options{}, parent) {}

OnboardingFlow* WindowShell::beginOnboarding() {
  endOnboarding(onboarding_);
  onboarding_ = new OnboardingFlow(
      host_, OnboardingFlow::Options{options_.track, [this] { finishOnboarding(); }, options_.reduceMotion}, this);
  QJSEngine::setObjectOwnership(onboarding_, QJSEngine::CppOwnership);
  onboarding_->appear();
  return onboarding_;
}

void WindowShell::endOnboarding(OnboardingFlow* flow) {
  // The view that leaves may be an older one than the flow now on screen. Deleted later: the flow's own finish
  // action is what takes the onboarding off screen.
  if (!flow || flow != onboarding_) return;
  onboarding_ = nullptr;
  flow->disappear();
  flow->deleteLater();
}

void WindowShell::finishOnboarding() {
  host_.controls().completePermissionOnboarding();
  setOnboardingCompleted();
}

void WindowShell::applicationBecameActive() {
  QPointer<WindowShell> self(this);
  spawnOnMain([](QPointer<WindowShell> self) -> asio::awaitable<void> {
    if (!self) co_return;
    auto& controls = self->host_.controls();
    controls.refreshLaunchAtLoginStatus();
    co_await controls.refreshPermissions();
  }(self));
}

void WindowShell::syncOnboarding() {
  const HostSnapshot& state = host_.snapshot();
  if (!state.hasResolvedPermissions || !state.hasAllPermissions || onboardingCompleted()) return;
  host_.controls().completePermissionOnboarding();
  setOnboardingCompleted();
}

void WindowShell::setOnboardingCompleted() {
  if (onboardingCompleted()) return;
  settings_.setValue(onboardingFlagKey, true);
  settings_.sync();
  emit contentChanged();
}

}  // namespace veltrano::app
