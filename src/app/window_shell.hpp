#pragma once
// What the main window shows and when it touches the host: the content cascade (checking screen, onboarding,
// console), the page selection, the persisted onboarding flag, and the window's hooks into the host's life
// (prepare the launch when first shown, complete the onboarding once both permissions are granted, refresh the
// permissions whenever the application becomes active).
#include <QObject>
#include <QPointer>
#include <QSettings>
#include <QString>

#include "app/host_bridge.hpp"
#include "app/host_controls.hpp"
#include "app/onboarding_flow.hpp"

namespace veltrano::app {

class WindowShell : public QObject {
  Q_OBJECT
  Q_PROPERTY(QString content READ content NOTIFY contentChanged)
  Q_PROPERTY(QString page READ page WRITE setPage NOTIFY pageChanged)
  Q_PROPERTY(bool onboardingCompleted READ onboardingCompleted NOTIFY contentChanged)
  Q_PROPERTY(bool reduceMotion READ reduceMotion NOTIFY reduceMotionChanged)

 public:
  static constexpr const char* onboardingFlagKey = "veltrano.host.permissionOnboarding.completed";

  struct Options {
    AnalyticsTracker track;
    bool reduceMotion = false;  // the desktop asks for as little motion as possible
  };
  // `settings` holds the onboarding flag and must outlive the shell.
  WindowShell(HostBridge& host, QSettings& settings, Options options, QObject* parent = nullptr);
  WindowShell(HostBridge& host, QSettings& settings, QObject* parent = nullptr);

  // "checking", "onboarding" or "console".
  QString content() const;
  QString page() const { return page_; }
  void setPage(const QString& page);
  bool onboardingCompleted() const;
  bool reduceMotion() const { return options_.reduceMotion; }
  // The desktop changed its mind: motion under way stops at once when it asks for less.
  void setReduceMotion(bool reduced);

  // The window's view came on screen.
  Q_INVOKABLE void viewShown();
  // The onboarding came on screen: a new flow for it, which the shell owns until the onboarding leaves.
  Q_INVOKABLE veltrano::app::OnboardingFlow* beginOnboarding();
  Q_INVOKABLE void endOnboarding(veltrano::app::OnboardingFlow* flow);
  OnboardingFlow* onboarding() const { return onboarding_; }
  // The onboarding flow's finish action.
  Q_INVOKABLE void finishOnboarding();
  // The application became active.
  void applicationBecameActive();

 signals:
  void contentChanged();
  void pageChanged();
  void reduceMotionChanged();

 private:
  void syncOnboarding();
  void setOnboardingCompleted();

  HostBridge& host_;
  QSettings& settings_;
  Options options_;
  QPointer<OnboardingFlow> onboarding_;  // a child of the shell
  QString page_ = QStringLiteral("overview");
};

}  // namespace veltrano::app
