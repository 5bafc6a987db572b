// The application against a fake host: the launch report, the window, and the ordered quit.
#include <QQuickWindow>
#include <QSettings>
#include <QTemporaryDir>

#include <algorithm>
#include <QTimer>

#include <gtest/gtest.h>

#include "app/fake_host_controls.hpp"
#include "app/host_application.hpp"
#include "app/main_window.hpp"
#include "app/qt_test_support.hpp"

namespace veltrano {
namespace {

using namespace std::chrono_literals;

class HostApplicationTest : public ::testing::Test {
 protected:
  HostApplicationTest() {
    settingsFolder_.setAutoRemove(true);
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, settingsFolder_.path());
  }
  std::unique_ptr<app::HostApplication> makeApplication(std::chrono::milliseconds shutdownTimeout = 10s) {
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
    options.reduceMotion = true;
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

}  // namespace
}  // namespace veltrano
