#pragma once
// The permission onboarding: which step the user is on (Screen Recording, then Accessibility, then ready), how
// the step follows the live permission statuses, what each step says and what its buttons do. One flow lives
// for one appearance of the onboarding in the window; a new appearance starts from the first step again.
#include <QObject>
#include <QString>
#include <QVariantList>

#include <cstdint>
#include <functional>
#include <optional>
#include <string_view>

#include "app/host_bridge.hpp"
#include "app/host_controls.hpp"

namespace veltrano::app {

enum class OnboardingStep : std::uint8_t { screenRecording = 0, accessibility = 1, ready = 2 };

std::optional<OnboardingStep> onboardingStepFromRaw(int raw);
std::string_view analyticsName(OnboardingStep step);

struct OnboardingProgress {
  OnboardingStep step = OnboardingStep::screenRecording;
  bool isCompleted = false;
  bool operator==(const OnboardingProgress&) const = default;
};

// The first missing permission's step, or ready when both are granted; a completed flow stays as it is.
OnboardingProgress followPermissions(OnboardingProgress progress, bool screenGranted, bool accessibilityGranted);

class OnboardingFlow : public QObject {
  Q_OBJECT
  Q_PROPERTY(int step READ step NOTIFY changed)
  Q_PROPERTY(bool completed READ completed NOTIFY changed)
  Q_PROPERTY(bool stepGranted READ stepGranted NOTIFY changed)
  Q_PROPERTY(bool animating READ animating NOTIFY animatingChanged)
  Q_PROPERTY(bool backOffered READ backOffered NOTIFY changed)
  Q_PROPERTY(bool recoveryHelpShown READ recoveryHelpShown NOTIFY changed)
  // Shown once the user asked for the settings again: this desktop has none to open.
  Q_PROPERTY(QString settingsHelp READ settingsHelp NOTIFY changed)
  // What the check that the main button ran found still missing on this step; empty until then.
  Q_PROPERTY(QString checkResult READ checkResult NOTIFY changed)
  Q_PROPERTY(QString eyebrow READ eyebrow NOTIFY changed)
  Q_PROPERTY(QString title READ title NOTIFY changed)
  Q_PROPERTY(QString description READ description NOTIFY changed)
  Q_PROPERTY(QVariantList instructions READ instructions NOTIFY changed)
  Q_PROPERTY(QString counter READ counter NOTIFY changed)
  Q_PROPERTY(QString primaryTitle READ primaryTitle NOTIFY changed)
  Q_PROPERTY(QString primarySymbol READ primarySymbol NOTIFY changed)
  Q_PROPERTY(QString statusText READ statusText NOTIFY changed)
  Q_PROPERTY(QString stepSymbol READ stepSymbol NOTIFY changed)

 public:
  static constexpr std::string_view screenRecordingAnchor = "com.apple.preference.security?Privacy_ScreenCapture";

  struct Options {
    AnalyticsTracker track;
    std::function<void()> onCompleted;
    bool reduceMotion = false;
  };
  OnboardingFlow(HostBridge& host, Options options, QObject* parent = nullptr);

  const OnboardingProgress& progress() const { return progress_; }
  int step() const { return static_cast<int>(progress_.step); }
  bool completed() const { return progress_.isCompleted; }
  bool stepGranted() const;
  bool animating() const { return animating_; }
  bool backOffered() const { return progress_.step == OnboardingStep::accessibility; }
  bool recoveryHelpShown() const;
  QString settingsHelp() const { return settingsHelp_; }
  QString checkResult() const { return stepGranted() ? QString() : checkResult_; }
  QString eyebrow() const;
  QString title() const;
  QString description() const;
  QVariantList instructions() const;  // each {title, detail}
  QString counter() const;
  QString primaryTitle() const;
  QString primarySymbol() const;
  QString statusText() const;
  QString stepSymbol() const;

  // The flow came on screen: reports it, refreshes the permissions, then lets the host poll them.
  void appear();
  // The flow left the screen: ends the host's permission poll, even with a permission still missing.
  void disappear();
  // Reduced motion turned on ends the glide: the decoration rests where it stands without motion.
  void setReduceMotion(bool reduced);
  Q_INVOKABLE void primary();
  Q_INVOKABLE void goBack();
  Q_INVOKABLE void reopenScreenRecordingSettings();

 signals:
  void changed();
  void animatingChanged();

 private:
  void sync();
  // This desktop shows no dialog: a request is answered by reading the permissions again.
  void checkAgain();
  void store(OnboardingProgress progress);
  void permissionsMayHaveChanged();
  void track(AnalyticsEvent event, std::optional<std::string> detail = std::nullopt) const;
  QString stepText(const char* field) const;

  HostBridge& host_;
  Options options_;
  OnboardingProgress progress_;
  bool animating_ = false;
  std::string screenStatus_;
  std::string accessibilityStatus_;
  QString settingsHelp_;
  QString checkResult_;
};

}  // namespace veltrano::app
