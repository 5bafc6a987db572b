// The tray menu against a fake host: texts, enabled states and what each item does.
#include <QAction>
#include <QKeySequence>
#include <QPalette>

#include <cstdlib>

#include <gtest/gtest.h>

#include "app/fake_host_controls.hpp"
#include "app/host_bridge.hpp"
#include "app/qt_test_support.hpp"
#include "app/tray_menu.hpp"
#include "core/localization.hpp"

namespace veltrano {
namespace {

using app::HostSnapshot;

QString text(const char* key) { return QString::fromStdString(localized(key)); }

class TrayMenuTest : public ::testing::Test {
 protected:
  QApplication& qt_ = testing::qtApplication();  // before any widget
  testing::FakeHostControls host_;
  app::HostBridge bridge_{host_};
  int broughtForward_ = 0;
  int quits_ = 0;
  app::TrayMenu menu_{bridge_, {[this] { ++broughtForward_; }, [this] { ++quits_; }}};
};

struct MenuCase {
  const char* name;
  HostSnapshot state;
  const char* statusKey;
  bool startEnabled;
  bool stopEnabled;
};

HostSnapshot with(bool running, bool starting, bool capturing) {
  HostSnapshot state;
  state.isRunning = running;
  state.isStarting = starting;
  state.isCapturing = capturing;
  return state;
}

TEST_F(TrayMenuTest, StatusLineAndEnabledStatesFollowTheHost) {
  const MenuCase cases[] = {
      {"stopped", with(false, false, false), "host.status.stopped", true, false},
      {"starting", with(false, true, false), "host.status.starting", false, true},
      {"starting while running", with(true, true, true), "host.status.starting", false, true},
      {"running", with(true, false, false), "host.menu.status_waiting", false, true},
      {"capturing", with(true, false, true), "host.menu.status_sharing", false, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    host_.set(c.state);
    EXPECT_EQ(menu_.statusLine()->text(), text(c.statusKey));
    EXPECT_EQ(menu_.start()->isEnabled(), c.startEnabled);
    EXPECT_EQ(menu_.stop()->isEnabled(), c.stopEnabled);
    EXPECT_TRUE(menu_.showWindow()->isEnabled());
    EXPECT_TRUE(menu_.launchAtLogin()->isEnabled());
    EXPECT_TRUE(menu_.quit()->isEnabled());
    EXPECT_FALSE(menu_.statusLine()->isEnabled()) << "the status line is text to read, nothing to click";
  }
}

TEST_F(TrayMenuTest, ItemsInOrderWithTheirTextsAndOnlyShowAndQuitHaveShortcuts) {
  const auto actions = menu_.actions();
  ASSERT_EQ(actions.size(), 9);
  EXPECT_EQ(actions[0], menu_.statusLine());
  EXPECT_TRUE(actions[1]->isSeparator());
  EXPECT_EQ(actions[2], menu_.showWindow());
  EXPECT_EQ(actions[3], menu_.start());
  EXPECT_EQ(actions[4], menu_.stop());
  EXPECT_TRUE(actions[5]->isSeparator());
  EXPECT_EQ(actions[6], menu_.launchAtLogin());
  EXPECT_TRUE(actions[7]->isSeparator());
  EXPECT_EQ(actions[8], menu_.quit());
  EXPECT_EQ(menu_.showWindow()->text(), text("host.menu.show"));
  EXPECT_EQ(menu_.start()->text(), text("host.menu.start"));
  EXPECT_EQ(menu_.stop()->text(), text("host.menu.stop"));
  EXPECT_EQ(menu_.launchAtLogin()->text(), text("host.menu.auto_start"));
  EXPECT_EQ(menu_.quit()->text(), text("host.menu.quit"));
  EXPECT_EQ(menu_.showWindow()->shortcut(), QKeySequence(Qt::CTRL | Qt::Key_O));
  EXPECT_EQ(menu_.quit()->shortcut(), QKeySequence(Qt::CTRL | Qt::Key_Q));
  for (auto* action : {menu_.start(), menu_.stop(), menu_.launchAtLogin()}) EXPECT_TRUE(action->shortcut().isEmpty());
}

TEST_F(TrayMenuTest, StartBringsTheWindowForwardOnlyWhenAPermissionIsMissingAndAlwaysStarts) {
  for (bool granted : {false, true}) {
    SCOPED_TRACE(granted ? "granted" : "missing");
    HostSnapshot state;
    state.hasAllPermissions = granted;
    host_.set(state);
    host_.calls.clear();
    broughtForward_ = 0;
    menu_.start()->trigger();
    EXPECT_EQ(host_.calls, std::vector<std::string>{"start"});
    EXPECT_EQ(broughtForward_, granted ? 0 : 1);
  }
}

TEST_F(TrayMenuTest, StopShowAndQuitDoTheirOneThing) {
  host_.set(with(true, false, false));
  menu_.stop()->trigger();
  EXPECT_EQ(host_.calls, std::vector<std::string>{"stop"});
  menu_.showWindow()->trigger();
  EXPECT_EQ(broughtForward_, 1);
  menu_.quit()->trigger();
  EXPECT_EQ(quits_, 1);
}

struct LaunchAtLoginCase {
  const char* name;
  bool wasOn;
  bool registers;
  bool granted;
  const char* call;
  int broughtForward;
};

TEST_F(TrayMenuTest, LaunchAtLoginTogglesAndLeadsToTheWindowWhenTurnedOnWithAPermissionMissing) {
  const LaunchAtLoginCase cases[] = {
      {"on, permission missing", false, true, false, "launchAtLogin(on)", 1},
      {"on, all granted", false, true, true, "launchAtLogin(on)", 0},
      {"on refused", false, false, false, "launchAtLogin(on)", 0},
      {"off, permission missing", true, true, false, "launchAtLogin(off)", 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    HostSnapshot state;
    state.launchAtLogin = c.wasOn;
    state.hasAllPermissions = c.granted;
    host_.launchAtLoginRegisters = c.registers;
    host_.set(state);
    EXPECT_EQ(menu_.launchAtLogin()->isChecked(), c.wasOn);
    host_.calls.clear();
    broughtForward_ = 0;
    menu_.launchAtLogin()->trigger();
    EXPECT_EQ(host_.calls, std::vector<std::string>{c.call});
    EXPECT_EQ(broughtForward_, c.broughtForward);
    EXPECT_EQ(menu_.launchAtLogin()->isChecked(), host_.current.launchAtLogin);
  }
}

// How much of `icon` at 24 pixels is drawn in `color`.
int inkOf(const QIcon& icon, const QColor& color) {
  const QImage image = icon.pixmap(24, 24).toImage();
  int ink = 0;
  for (int y = 0; y < image.height(); ++y) {
    for (int x = 0; x < image.width(); ++x) {
      const QColor pixel = image.pixelColor(x, y);
      ink += pixel.alpha() > 200 && std::abs(pixel.red() - color.red()) < 40 && std::abs(pixel.green() - color.green()) < 40 &&
             std::abs(pixel.blue() - color.blue()) < 40;
    }
  }
  return ink;
}

TEST_F(TrayMenuTest, ItemsCarryTheirSymbolsInTheMenusTextColourAndFollowThePalette) {
  const QPalette original = QApplication::palette();
  for (const QColor text : {QColor(20, 20, 20), QColor(235, 235, 235)}) {
    SCOPED_TRACE(text.name().toStdString());
    QPalette palette = original;
    palette.setColor(QPalette::Text, text);
    palette.setColor(QPalette::WindowText, text);
    QApplication::setPalette(palette);
    QCoreApplication::processEvents();
    for (auto* action : {menu_.showWindow(), menu_.start(), menu_.stop(), menu_.launchAtLogin(), menu_.quit()}) {
      SCOPED_TRACE(action->text().toStdString());
      EXPECT_GT(inkOf(action->icon(), text), 8);
    }
    EXPECT_TRUE(menu_.statusLine()->icon().isNull());
  }
  QApplication::setPalette(original);
  // Launch at login shows a check mark when on and an empty circle when off, whichever symbol is drawn.
  HostSnapshot state;
  state.launchAtLogin = true;
  host_.set(state);
  const QImage on = menu_.launchAtLogin()->icon().pixmap(24, 24).toImage();
  state.launchAtLogin = false;
  host_.set(state);
  EXPECT_NE(menu_.launchAtLogin()->icon().pixmap(24, 24).toImage(), on);
}

// A start chosen in the menu whose host ends it, with or without an error, as the host view model does: the
// starting flag drops first, the error follows on the same turn.
class TrayFailureNoticeTest : public TrayMenuTest {
 protected:
  TrayFailureNoticeTest() {
    QObject::connect(&menu_, &app::TrayMenu::failed, [this](const QString& text) { notices_.push_back(text); });
  }
  void startFromTheMenu() {
    HostSnapshot idle{.hasResolvedPermissions = true, .hasAllPermissions = true};
    idle.lastError = host_.current.lastError;  // the error shown before the start stays
    host_.set(idle);
    menu_.start()->trigger();
    HostSnapshot starting = host_.current;
    starting.isStarting = true;
    host_.set(starting);
    QCoreApplication::processEvents();
  }
  void endTheStart(bool running, const std::string& error, bool logged) {
    HostSnapshot ended = host_.current;
    ended.isStarting = false;
    ended.isRunning = running;
    host_.set(ended);
    if (!error.empty()) ended.lastError = error;
    if (logged) host_.metrics.logEvent(LogCategory::Error, "start-up failed: " + error);
    host_.set(ended);
    QCoreApplication::processEvents();
  }
  std::vector<QString> notices_;
};

TEST_F(TrayFailureNoticeTest, AFailedStartIsToldOnceWithTheHostsError) {
  startFromTheMenu();
  EXPECT_TRUE(notices_.empty());
  endTheStart(false, "This computer could not be announced on the local network.", true);
  ASSERT_EQ(notices_, std::vector<QString>{"This computer could not be announced on the local network."});
  QCoreApplication::processEvents();
  host_.set(host_.current);
  QCoreApplication::processEvents();
  EXPECT_EQ(notices_.size(), 1u);

  // The same failure again is told again, though the error text stays the same.
  startFromTheMenu();
  endTheStart(false, "This computer could not be announced on the local network.", true);
  EXPECT_EQ(notices_.size(), 2u);
}

TEST_F(TrayFailureNoticeTest, AStartThatRunsOrIsStoppedTellsNothingEvenWithAnOldErrorShown) {
  host_.current.lastError = "An old failure.";
  startFromTheMenu();
  endTheStart(true, "", false);
  startFromTheMenu();
  menu_.stop()->trigger();
  endTheStart(false, "", false);
  // Stopped elsewhere (the window) while starting: the old error is no news.
  startFromTheMenu();
  endTheStart(false, "", false);
  EXPECT_TRUE(notices_.empty());
}

TEST_F(TrayFailureNoticeTest, ARefusedStartIsToldAtOnce) {
  host_.set(HostSnapshot{.hasResolvedPermissions = true, .hasAllPermissions = true});
  host_.current.lastError = "Screen Recording and Accessibility are needed.";
  host_.metrics.logEvent(LogCategory::Error, "start blocked: missing permissions");
  menu_.start()->trigger();  // refused by the host without ever starting; the fake only records it
  QCoreApplication::processEvents();
  EXPECT_TRUE(notices_.empty()) << "the error was there before and nothing new was logged";
  menu_.start()->trigger();
  host_.metrics.logEvent(LogCategory::Error, "start blocked: missing permissions");
  QCoreApplication::processEvents();
  EXPECT_EQ(notices_, std::vector<QString>{"Screen Recording and Accessibility are needed."});
}

TEST_F(TrayFailureNoticeTest, ALaunchAtLoginChangeThatDidNotTakeIsTold) {
  host_.launchAtLoginRegisters = false;
  host_.launchAtLoginError = "Launch at login needs the program installed.";
  menu_.launchAtLogin()->trigger();
  EXPECT_EQ(notices_, std::vector<QString>{"Launch at login needs the program installed."});
  host_.launchAtLoginRegisters = true;
  menu_.launchAtLogin()->trigger();
  menu_.launchAtLogin()->trigger();
  EXPECT_EQ(notices_.size(), 1u);
}

}  // namespace
}  // namespace veltrano
