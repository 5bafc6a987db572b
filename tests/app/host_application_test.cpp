// The application against a fake host: the launch report, the window, the desktop's reduced motion followed
// while it runs, and the ordered quit.
#include <QDir>
#include <QProcess>
#include <QQuickItem>
#include <QQuickWindow>
#include <QSettings>
#include <QTemporaryDir>

#include <algorithm>
#include <fstream>
#include <QTimer>

#include <gtest/gtest.h>

#include "app/fake_host_controls.hpp"
#include "app/host_application.hpp"
#include "app/main_window.hpp"
#include "app/qt_test_support.hpp"
#include "support/required_service.hpp"

namespace veltrano {
namespace {

using namespace std::chrono_literals;

class HostApplicationTest : public ::testing::Test {
 protected:
  HostApplicationTest() {
    settingsFolder_.setAutoRemove(true);
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, settingsFolder_.path());
  }
  std::unique_ptr<app::HostApplication> makeApplication(std::chrono::milliseconds shutdownTimeout = 10s,
                                                        std::optional<bool> reduceMotion = true) {
    app::HostApplication::Options options;
    options.makeControls = [this]() -> std::unique_ptr<app::HostControls> {
      auto controls = std::make_unique<testing::FakeHostControls>();
      host_ = controls.get();
      controls->onDestroyed = [this](const testing::FakeHostControls& host) {
        calls_ = host.calls;
        host_ = nullptr;
      };
      return controls;
    };
    options.track = [this](AnalyticsEvent event, std::optional<std::string>) { tracked_.push_back(event); };
    options.stopIoThreads = [this] {
      // The window and menu are gone and the host is still there when the I/O threads stop.
      hostAliveAtIoStop_ = host_ != nullptr && host_->observers == 0;
      ++ioStops_;
    };
    options.discardIoWork = [this] { discardedAfterStop_ = ioStops_ == 1 && host_ != nullptr; };
    options.shutdownTimeout = shutdownTimeout;
    options.trayAvailable = false;
    options.reduceMotion = reduceMotion;
    return std::make_unique<app::HostApplication>(main_.context(), std::move(options));
  }

  // The window came on screen and prepared the launch before the quit stopped the host, once (the onboarding
  // and becoming active add refreshes).
  void stoppedOnceAfterPreparing() {
    const auto prepared = std::find(calls_.begin(), calls_.end(), "prepare(new)");
    const auto stopped = std::find(calls_.begin(), calls_.end(), "stop");
    EXPECT_LT(prepared, stopped);
    EXPECT_EQ(std::count(calls_.begin(), calls_.end(), "stop"), 1);
  }

  QTemporaryDir settingsFolder_;
  testing::QtMainForTests main_;
  testing::FakeHostControls* host_ = nullptr;
  std::vector<AnalyticsEvent> tracked_;
  std::vector<std::string> calls_;  // the host's, once it is gone
  int ioStops_ = 0;
  bool hostAliveAtIoStop_ = false;
  bool discardedAfterStop_ = false;  // after the threads stopped, before the host went
};

TEST_F(HostApplicationTest, ReportsTheLaunchOnceShowsTheWindowAndQuitsAfterTheHostHasStopped) {
  auto application = makeApplication();
  QTimer::singleShot(0, [&] {
    application->requestQuit();
    application->requestQuit();  // a second quit changes nothing
    QTimer::singleShot(0, [&] { host_->shutdown.resume(); });
  });
  ASSERT_NE(application->window().window(), nullptr);
  EXPECT_TRUE(application->window().window()->isVisible());
  EXPECT_EQ(application->exec(), 0);
  EXPECT_EQ(std::count(tracked_.begin(), tracked_.end(), AnalyticsEvent::server_app_open), 1);
  EXPECT_EQ(ioStops_, 1);
  EXPECT_TRUE(hostAliveAtIoStop_);
  EXPECT_TRUE(discardedAfterStop_);
  EXPECT_EQ(host_, nullptr);
  application.reset();
  EXPECT_EQ(ioStops_, 1);
}

TEST_F(HostApplicationTest, AShutdownThatNeverEndsIsWaitedForOnlyUntilTheDeadline) {
  auto application = makeApplication(200ms);
  QTimer::singleShot(0, [&] { application->requestQuit(); });
  EXPECT_EQ(application->exec(), 0);
  EXPECT_EQ(host_, nullptr);
  stoppedOnceAfterPreparing();
  EXPECT_EQ(ioStops_, 1);
}

TEST_F(HostApplicationTest, WithoutATrayClosingTheWindowQuits) {
  auto application = makeApplication();
  QTimer::singleShot(0, [&] {
    application->window().window()->close();
    QTimer::singleShot(0, [&] { host_->shutdown.resume(); });
  });
  EXPECT_EQ(application->exec(), 0);
  stoppedOnceAfterPreparing();
}

// `gsettings` with `arguments`, as another program of the desktop runs it; false when it fails.
bool gsettings(const QStringList& arguments) {
  QProcess tool;
  tool.start("gsettings", arguments);
  return tool.waitForFinished(10000) && tool.exitStatus() == QProcess::NormalExit && tool.exitCode() == 0;
}

TEST_F(HostApplicationTest, TheOnboardingStopsMovingWhenGnomeOrKdeAskForLessMotionWhileItRuns) {
  // The desktop's settings in this test's own config folder, GNOME's in GLib's key file there.
  const QString config = settingsFolder_.filePath("config");
  ASSERT_TRUE(QDir().mkpath(config + "/glib-2.0/settings"));
  setenv("XDG_CONFIG_HOME", config.toUtf8().constData(), 1);
  setenv("GSETTINGS_BACKEND", "keyfile", 1);
  VELTRANO_REQUIRE_SERVICE("GNOME's settings schemas (gsettings-desktop-schemas) and gsettings",
                           test::problemIfAny(gsettings({"get", "org.gnome.desktop.interface", "enable-animations"})
                                                  ? ""
                                                  : "gsettings cannot read org.gnome.desktop.interface"));
  auto application = makeApplication(10s, std::nullopt);
  QQuickItem* onboarding = nullptr;
  auto glide = [&] { return onboarding->property("glide").toReal(); };
  bool glided = false;  // seen between its ends
  ASSERT_TRUE(testing::processEventsUntil([&] {
    onboarding = testing::itemsNamed(application->window().window()->contentItem(), "onboarding").value(0);
    glided = glided || (onboarding && glide() > 0.0 && glide() < 1.0);
    return onboarding && glide() == 1.0;
  })) << "the orb never glided in";
  EXPECT_TRUE(glided);

  ASSERT_TRUE(gsettings({"set", "org.gnome.desktop.interface", "enable-animations", "false"}));
  ASSERT_TRUE(testing::processEventsUntil([&] { return glide() != 1.0; }));
  EXPECT_EQ(glide(), 0.0) << "the orb must come to rest at once, not glide back";
  EXPECT_TRUE(onboarding->property("still").toBool());

  ASSERT_TRUE(gsettings({"set", "org.gnome.desktop.interface", "enable-animations", "true"}));
  ASSERT_TRUE(testing::processEventsUntil([&] { return !onboarding->property("still").toBool(); }));
  std::ofstream((config + "/kdeglobals").toStdString()) << "[KDE]\nAnimationDurationFactor=0\n";
  EXPECT_TRUE(testing::processEventsUntil([&] { return onboarding->property("still").toBool(); }));
}

}  // namespace
}  // namespace veltrano
