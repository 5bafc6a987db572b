#include "app/onboarding_flow.hpp"

#include <QPointer>
#include <QVariantMap>

#include "app/main_coroutine.hpp"
#include "core/localization.hpp"
#include "core/permission_manager.hpp"

namespace veltrano::app {

namespace {
constexpr std::string_view granted = "granted";
QString text(const std::string& key) { return QString::fromStdString(localized(key)); }

const char* stepKey(OnboardingStep step) {
  switch (step) {
    case OnboardingStep::screenRecording: return "screen";
    case OnboardingStep::accessibility: return "accessibility";
    case OnboardingStep::ready: return "ready";
  }
  return "";
}
}  // namespace

std::optional<OnboardingStep> onboardingStepFromRaw(int raw) {
  if (raw < 0 || raw > 2) return std::nullopt;
  return static_cast<OnboardingStep>(raw);
}

std::string_view analyticsName(OnboardingStep step) {
  switch (step) {
    case OnboardingStep::screenRecording: return "screen_recording";
    case OnboardingStep::accessibility: return "accessibility";
    case OnboardingStep::ready: return "ready";
  }
  return "";
}

OnboardingProgress followPermissions(OnboardingProgress progress, bool screenGranted, bool accessibilityGranted) {
  if (progress.isCompleted) return progress;
  progress.step = !screenGranted          ? OnboardingStep::screenRecording
                  : accessibilityGranted ? OnboardingStep::ready
                                         : OnboardingStep::accessibility;
  return progress;
}

OnboardingFlow::OnboardingFlow(HostBridge& host, Options options, QObject* parent)
    : QObject(parent), host_(host), options_(std::move(options)) {
  connect(&host_, &HostBridge::stateChanged, this, &OnboardingFlow::permissionsMayHaveChanged);
}

void OnboardingFlow::disappear() { host_.controls().stopPermissionPolling(); }

void OnboardingFlow::appear() {
  track(AnalyticsEvent::server_onboarding_started);
  QPointer<OnboardingFlow> self(this);
  spawnOnMain([](QPointer<OnboardingFlow> self) -> asio::awaitable<void> {
    if (!self) co_return;
    co_await self->host_.controls().refreshPermissions();
    // Gone meanwhile: its leaving already ended the poll, which must not start again for it.
    if (self) self->host_.controls().startPermissionPolling();
  }(self));
  if (!options_.reduceMotion && !animating_) {
    animating_ = true;
    emit animatingChanged();
  }
  // The observers' first look at their values.
  track(AnalyticsEvent::server_permission_step_viewed, std::string(analyticsName(progress_.step)));
  const HostSnapshot& state = host_.snapshot();
  screenStatus_ = state.screenRecordingStatus;
  accessibilityStatus_ = state.accessibilityStatus;
  sync();
}

void OnboardingFlow::setReduceMotion(bool reduced) {
  options_.reduceMotion = reduced;
  if (!reduced || !animating_) return;
  animating_ = false;
  emit animatingChanged();
}

void OnboardingFlow::permissionsMayHaveChanged() {
  const HostSnapshot& state = host_.snapshot();
  const bool statusesChanged =
      state.screenRecordingStatus != screenStatus_ || state.accessibilityStatus != accessibilityStatus_;
  screenStatus_ = state.screenRecordingStatus;
  accessibilityStatus_ = state.accessibilityStatus;
  if (statusesChanged) sync();
  emit changed();
}

void OnboardingFlow::sync() {
  store(followPermissions(progress_, screenStatus_ == granted, accessibilityStatus_ == granted));
}

void OnboardingFlow::store(OnboardingProgress progress) {
  if (progress == progress_) return;
  const bool stepChanged = progress.step != progress_.step;
  progress_ = progress;
  if (stepChanged) checkResult_.clear();
  emit changed();
  if (stepChanged) track(AnalyticsEvent::server_permission_step_viewed, std::string(analyticsName(progress_.step)));
}

bool OnboardingFlow::stepGranted() const {
  switch (progress_.step) {
    case OnboardingStep::screenRecording: return screenStatus_ == granted;
    case OnboardingStep::accessibility: return accessibilityStatus_ == granted;
    case OnboardingStep::ready: return screenStatus_ == granted && accessibilityStatus_ == granted;
  }
  return false;
}

bool OnboardingFlow::recoveryHelpShown() const {
  return progress_.step == OnboardingStep::screenRecording && host_.snapshot().showScreenRecordingRecoveryHelp &&
         screenStatus_ != granted;
}

void OnboardingFlow::primary() {
  switch (progress_.step) {
    case OnboardingStep::screenRecording:
      if (stepGranted()) return sync();
      host_.controls().requestScreenRecordingPermission();
      return checkAgain();
    case OnboardingStep::accessibility:
      if (stepGranted()) return sync();
      host_.controls().requestAccessibilityPermission();
      return checkAgain();
    case OnboardingStep::ready:
      if (progress_.isCompleted) return;
      store({OnboardingStep::ready, true});
      track(AnalyticsEvent::server_onboarding_completed);
      if (options_.onCompleted) options_.onCompleted();
      return;
  }
}

void OnboardingFlow::checkAgain() {
  // The last answer goes while the new check runs, so every press is seen to be answered.
  if (!checkResult_.isEmpty()) {
    checkResult_.clear();
    emit changed();
  }
  spawnOnMain([](QPointer<OnboardingFlow> self, OnboardingStep step) -> asio::awaitable<void> {
    if (!self) co_return;
    co_await self->host_.controls().refreshPermissions();
    // A step that moved on meanwhile, or whose permission came, has nothing to report.
    if (!self || self->progress_.step != step || self->stepGranted()) co_return;
    self->checkResult_ = self->stepText("check_missing");
    emit self->changed();
  }(QPointer<OnboardingFlow>(this), progress_.step));
}

void OnboardingFlow::goBack() {
  if (progress_.isCompleted) return;
  store({OnboardingStep::screenRecording, false});
}

void OnboardingFlow::reopenScreenRecordingSettings() {
  PermissionManager::openPrivacySettings(screenRecordingAnchor);
  settingsHelp_ = text("host.permission.screen_recording.help");
  emit changed();
}

void OnboardingFlow::track(AnalyticsEvent event, std::optional<std::string> detail) const {
  if (options_.track) options_.track(event, std::move(detail));
}

QString OnboardingFlow::stepText(const char* field) const {
  return text(std::string("host.onboarding.") + stepKey(progress_.step) + "." + field);
}

QString OnboardingFlow::eyebrow() const { return stepText("eyebrow"); }
QString OnboardingFlow::title() const { return stepText("title"); }
QString OnboardingFlow::description() const { return stepText("description"); }

QVariantList OnboardingFlow::instructions() const {
  const int count = progress_.step == OnboardingStep::ready ? 2 : 3;
  QVariantList rows;
  for (int n = 1; n <= count; ++n) {
    const std::string prefix = std::string("host.onboarding.") + stepKey(progress_.step) + ".instruction." +
                               std::to_string(n);
    rows.push_back(QVariantMap{{"title", text(prefix + ".title")}, {"detail", text(prefix + ".detail")}});
  }
  return rows;
}

QString OnboardingFlow::counter() const {
  if (progress_.step == OnboardingStep::ready) return text("host.onboarding.ready.progress");
  return QString::fromStdString(
      localizedFormat("host.onboarding.progress_format", std::int64_t{step() + 1}, std::int64_t{2}));
}

QString OnboardingFlow::primaryTitle() const {
  switch (progress_.step) {
    case OnboardingStep::screenRecording:
      return text(stepGranted() ? "host.onboarding.continue" : "host.onboarding.screen.allow");
    case OnboardingStep::accessibility:
      return text(stepGranted() ? "host.onboarding.finish" : "host.onboarding.accessibility.allow");
    case OnboardingStep::ready: return text("host.onboarding.ready.connect");
  }
  return {};
}

QString OnboardingFlow::primarySymbol() const {
  if (progress_.step == OnboardingStep::ready) return QStringLiteral("play.fill");
  return stepGranted() ? QStringLiteral("arrow.right") : QStringLiteral("lock.open.fill");
}

QString OnboardingFlow::statusText() const {
  return text(stepGranted() ? "host.onboarding.status.granted" : "host.onboarding.status.waiting");
}

QString OnboardingFlow::stepSymbol() const {
  if (stepGranted()) return QStringLiteral("checkmark");
  switch (progress_.step) {
    case OnboardingStep::screenRecording: return QStringLiteral("rectangle.inset.filled.and.person.filled");
    case OnboardingStep::accessibility: return QStringLiteral("accessibility");
    case OnboardingStep::ready: return QStringLiteral("checkmark.seal.fill");
  }
  return {};
}

}  // namespace veltrano::app
