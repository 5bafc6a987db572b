// The overview's launch-at-login switch on the real host and its XDG autostart entry: turned on it writes the
// entry that starts this program at login, turned off it removes it, and from a copy that is not installed it
// writes nothing and says why under the switch.
#include <QQmlContext>
#include <QQuickItem>
#include <QQuickView>
#include <QTemporaryDir>
#include <QTest>

#include <filesystem>
#include <fstream>
#include <sstream>

#include <gtest/gtest.h>

#include "app/console_pages.hpp"
#include "app/host_bridge.hpp"
#include "app/host_controls.hpp"
#include "app/qt_test_support.hpp"
#include "app/window_typefaces.hpp"
#include "core/localization.hpp"
#include "platform/loginitem/install_location.hpp"
#include "support/scoped_environment.hpp"

namespace veltrano {
namespace {

namespace fs = std::filesystem;

class LaunchAtLoginRowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(home_.isValid());
    view_.rootContext()->setContextProperty("host", &bridge_);
    view_.rootContext()->setContextProperty("pages", &pages_);
    view_.rootContext()->setContextProperty("typefaces", &typefaces_);
    view_.setResizeMode(QQuickView::SizeRootObjectToView);
    view_.resize(960 - 233, 1200);
    view_.setSource(QUrl(QStringLiteral("qrc:/veltrano/app/OverviewPage.qml")));
    ASSERT_EQ(view_.status(), QQuickView::Ready) << view_.errors().value(0).toString().toStdString();
    view_.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&view_));
  }

  QQuickItem* find(const char* name) {
    QQuickItem* found = nullptr;
    const std::function<void(QQuickItem*)> visit = [&](QQuickItem* parent) {
      for (auto* child : parent->childItems()) {
        if (child->objectName() == QLatin1String(name)) found = child;
        visit(child);
      }
    };
    visit(view_.rootObject());
    return found;
  }
  void clickSwitch() {
    QQuickItem* toggle = find("launchAtLoginSwitch");
    ASSERT_NE(toggle, nullptr);
    const QPointF centre = toggle->mapToScene(QPointF(toggle->width() / 2, toggle->height() / 2));
    QTest::mouseClick(&view_, Qt::LeftButton, {}, centre.toPoint());
  }
  bool switchShowsOn() { return find("launchAtLoginSwitch")->property("checked").toBool(); }

  QTemporaryDir home_;
  testing::ScopedEnvironment environment_{"HOME", home_.path().toUtf8().constData()};
  testing::ScopedEnvironment config_{"XDG_CONFIG_HOME", home_.filePath("config").toUtf8().constData()};
  const fs::path entry_ = fs::path(home_.filePath("config").toStdString()) / "autostart" / "veltrano-host.desktop";
  QApplication& qt_ = testing::qtApplication();
  testing::QtMainForTests main_;
  std::unique_ptr<app::HostControls> controls_ = app::makeHostViewModelControls({[](auto, auto) {}, nullptr});
  app::HostBridge bridge_{*controls_};
  app::ConsolePages pages_{*controls_};
  app::WindowTypefaces typefaces_;
  QQuickView view_;
};

TEST_F(LaunchAtLoginRowTest, NotInstalledItSaysSoAndTurnedOnAndOffItWritesAndRemovesTheAutostartEntry) {
  const auto executable = platform::runningExecutable();
  ASSERT_TRUE(executable);

  // This test program lies in the build folder, which is no install folder.
  clickSwitch();
  const std::string installRequired = localized("host.error.launch_at_login_install_required");
  ASSERT_TRUE(testing::processEventsUntil([&] {
    return find("errorRow")->isVisible() && find("errorText")->property("text").toString().toStdString() == installRequired;
  }));
  EXPECT_FALSE(switchShowsOn());
  EXPECT_FALSE(fs::exists(entry_));

  // The user's own ~/.local/bin holding this program makes it the installed copy.
  fs::create_directories(home_.filePath(".local").toStdString());
  fs::create_directory_symlink(executable->parent_path(), home_.filePath(".local/bin").toStdString());
  clickSwitch();
  ASSERT_TRUE(testing::processEventsUntil([&] { return switchShowsOn(); }));
  ASSERT_TRUE(fs::exists(entry_));
  std::ifstream in(entry_);
  std::stringstream text;
  text << in.rdbuf();
  EXPECT_NE(text.str().find("Exec="), std::string::npos) << text.str();
  EXPECT_NE(text.str().find(executable->string()), std::string::npos) << text.str();

  clickSwitch();
  ASSERT_TRUE(testing::processEventsUntil([&] { return !switchShowsOn(); }));
  EXPECT_FALSE(fs::exists(entry_));
  // The new state was read back from the entry, not assumed.
  controls_->refreshLaunchAtLoginStatus();
  EXPECT_FALSE(controls_->snapshot().launchAtLogin);
}

}  // namespace
}  // namespace veltrano
