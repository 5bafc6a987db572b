// The overview and advanced pages loaded on a fake host: their texts and controls follow the host, their
// buttons reach it, and the activity log keeps up with a busy host.
#include <QAccessible>
#include <QColor>
#include <QQmlContext>
#include <QSettings>
#include <QTemporaryDir>
#include <QQuickItem>
#include <QQuickView>
#include <QTest>

#include <algorithm>
#include <initializer_list>
#include <set>
#include <vector>

#include <gtest/gtest.h>

#include "app/console_pages.hpp"
#include "app/main_window.hpp"
#include "app/onboarding_flow.hpp"
#include "app/window_shell.hpp"
#include "app/window_typefaces.hpp"
#include "app/fake_host_controls.hpp"
#include "app/host_bridge.hpp"
#include "app/presenters/value_formats.hpp"
#include "app/qt_test_support.hpp"
#include "core/permission_manager.hpp"

namespace veltrano {
namespace {

using app::HostSnapshot;

// Connections to lambdas that refer to a test's locals, cut before those go.
struct Connections {
  Connections(std::initializer_list<QMetaObject::Connection> made) : all(made) {}
  ~Connections() {
    for (const auto& connection : all) QObject::disconnect(connection);
  }
  Connections(const Connections&) = delete;
  Connections& operator=(const Connections&) = delete;
  void add(QMetaObject::Connection connection) { all.push_back(connection); }
  std::vector<QMetaObject::Connection> all;
};

class ConsolePagesTest : public ::testing::Test {
 protected:
  // Shows `page` ("OverviewPage" or "AdvancedPage") at the width the console leaves it in the smallest window.
  void load(const char* page, int width = 960 - 233) {
    // Tall enough that every control of the page can be clicked without scrolling.
    view_.rootContext()->setContextProperty("host", &bridge_);
    view_.rootContext()->setContextProperty("pages", &pages_);
    view_.rootContext()->setContextProperty("typefaces", &typefaces_);
    view_.setResizeMode(QQuickView::SizeRootObjectToView);
    view_.resize(width, 1200);
    view_.setSource(QUrl(QStringLiteral("qrc:/veltrano/app/%1.qml").arg(page)));
    ASSERT_EQ(view_.status(), QQuickView::Ready) << view_.errors().value(0).toString().toStdString();
    view_.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&view_));
  }
  QQuickItem* item(const char* name) {
    const auto found = all(name);
    EXPECT_EQ(found.size(), 1) << name;
    return found.value(0);
  }
  std::string text(const char* name) { return item(name)->property("text").toString().toStdString(); }
  std::string text(QQuickItem* parent, const char* name) {
    return all(name, parent).value(0)->property("text").toString().toStdString();
  }
  static std::string key(const char* k) { return app::text(k).toStdString(); }
  // Sets the host's view and waits until the pages have shown it.
  void show(const HostSnapshot& view) {
    const int before = changes_;
    host_.set(view);
    ASSERT_TRUE(testing::processEventsUntil([&] { return changes_ > before; }));
  }
  void click(QQuickItem* target) {
    const QPointF centre = target->mapToScene(QPointF(target->width() / 2, target->height() / 2));
    QTest::mouseClick(&view_, Qt::LeftButton, {}, centre.toPoint());
  }
  // Every item named `name` in the visual tree under `under` (the page when none), in the page's order.
  QList<QQuickItem*> all(const char* name, QQuickItem* under = nullptr) {
    return testing::itemsNamed(under ? under : view_.rootObject(), name);
  }
  // Every visible item ends within the page's width, and wrapped texts are no taller than their lines.
  void expectNothingOverflows() {
    const qreal right = view_.rootObject()->width();
    const std::function<void(QQuickItem*)> visit = [&](QQuickItem* parent) {
      for (auto* child : parent->childItems()) {
        if (!child->isVisible()) continue;
        EXPECT_LE(child->mapToScene(QPointF(child->width(), 0)).x(), right + 0.5)
            << child->metaObject()->className() << " " << child->property("text").toString().toStdString();
        if (child->property("wrapMode").toInt() != 0 && child->property("lineCount").toInt() > 0) {
          EXPECT_LE(child->height(), child->property("contentHeight").toReal() + 1)
              << child->property("text").toString().toStdString();
        }
        visit(child);
      }
    };
    visit(view_.rootObject());
  }

  QApplication& qt_ = testing::qtApplication();
  testing::QtMainForTests main_;
  testing::FakeHostControls host_;
  app::HostBridge bridge_{host_};
  app::ConsolePages pages_{host_};
  app::WindowTypefaces typefaces_;
  int changes_ = 0;
  QMetaObject::Connection counter_ = QObject::connect(&pages_, &app::ConsolePages::changed, [this] { ++changes_; });
  int countChanges_ = 0;
  QMetaObject::Connection countCounter_ =
      QObject::connect(&pages_, &app::ConsolePages::eventCountChanged, [this] { ++countChanges_; });
  QQuickView view_;
};

TEST_F(ConsolePagesTest, OverviewFollowsTheHostFromStoppedToRunningWithAnError) {
  load("OverviewPage");
  EXPECT_EQ(text("heroStatusTitle"), key("host.status.stopped"));
  EXPECT_EQ(text("heroButtonTitle"), key("host.action.start"));
  EXPECT_FALSE(item("localIP")->isVisible());
  EXPECT_FALSE(item("errorRow")->isVisible());
  EXPECT_EQ(text(item("metricCard2"), "cardValue"), "\u2014");

  HostSnapshot running;
  running.isRunning = true;
  running.isCapturing = true;
  running.fps = 29.6;
  running.localControlClients = 1;
  running.remoteConnectedClients = 1;
  running.localIP = "192.168.1.20";
  running.lastError = std::string(200, 'x');
  running.displayInfo = "A very long display name " + std::string(120, 'd');
  show(running);
  EXPECT_EQ(text("heroStatusTitle"), key("host.status.ipad_connected"));
  EXPECT_EQ(text("heroStatusDetail"), "2 devices connected");
  EXPECT_EQ(text("heroButtonTitle"), key("host.action.stop"));
  EXPECT_EQ(text(item("metricCard0"), "cardValue"), "2");
  EXPECT_EQ(text(item("metricCard2"), "cardValue"), "30");
  EXPECT_TRUE(item("localIP")->isVisible());
  EXPECT_EQ(text("localIP"), "192.168.1.20");
  ASSERT_TRUE(item("errorRow")->isVisible());
  // Long texts wrap inside the page instead of running past it.
  expectNothingOverflows();
  EXPECT_GT(item("errorText")->property("lineCount").toInt(), 1);

  click(item("heroButton"));
  EXPECT_EQ(host_.calls, std::vector<std::string>{"stop"});
}

TEST_F(ConsolePagesTest, TheHeroTitleKeepsItsWrapInEveryState) {
  for (const int width : {960 - 233, 1600 - 233}) {
    SCOPED_TRACE(width);
    load("OverviewPage", width);
    std::set<std::pair<int, qreal>> wraps;
    HostSnapshot view;
    for (const auto& arrange : std::vector<std::function<void()>>{
             [&] { view = {}; }, [&] { view.isStarting = true; },
             [&] {
               view.isStarting = false;
               view.isRunning = true;
             },
             [&] { view.localControlClients = 12; }, [&] { view = HostSnapshot{}; }}) {
      arrange();
      host_.set(view);
      QTest::qWait(150);
      wraps.insert({item("heroTitle")->property("lineCount").toInt(), item("heroTitle")->width()});
    }
    EXPECT_EQ(wraps.size(), 1U);
  }
}

TEST_F(ConsolePagesTest, StartingOffersACancelThatStops) {
  load("OverviewPage");
  HostSnapshot starting;
  starting.isStarting = true;
  show(starting);
  EXPECT_EQ(text("heroButtonTitle"), key("host.action.cancel_start"));
  EXPECT_EQ(text("heroStatusDetail"), key("host.status.starting_detail"));
  click(item("heroButton"));
  EXPECT_EQ(host_.calls, std::vector<std::string>{"stop"});
  starting.isStarting = false;
  show(starting);
  EXPECT_EQ(text("heroButtonTitle"), key("host.action.start"));
  click(item("heroButton"));
  EXPECT_EQ(host_.calls, (std::vector<std::string>{"stop", "start"}));
}

TEST_F(ConsolePagesTest, LaunchAtLoginSwitchShowsOnlyWhatTheHostAccepted) {
  load("OverviewPage");
  auto* toggle = item("launchAtLoginSwitch");
  host_.launchAtLoginRegisters = false;
  click(toggle);
  EXPECT_EQ(host_.calls, std::vector<std::string>{"launchAtLogin(on)"});
  EXPECT_FALSE(toggle->property("checked").toBool());  // it never flips by itself
  host_.launchAtLoginRegisters = true;
  click(toggle);
  ASSERT_TRUE(testing::processEventsUntil([&] { return toggle->property("checked").toBool(); }));
  click(toggle);
  EXPECT_EQ(host_.calls.back(), "launchAtLogin(off)");
  ASSERT_TRUE(testing::processEventsUntil([&] { return !toggle->property("checked").toBool(); }));
}

TEST_F(ConsolePagesTest, AdvancedPageShowsPermissionsMetricsAndTheNewestEventsFirst) {
  HostSnapshot view;
  view.screenRecordingStatus = "granted";
  view.accessibilityStatus = "missing";
  view.bytesSent = 3'400'000'000;
  show(view);
  load("AdvancedPage");
  EXPECT_EQ(text("eventCount"), "0 events");
  EXPECT_TRUE(item("noEvents")->isVisible());
  EXPECT_EQ(item("permission0")->property("tint").value<QColor>(), QColor("#32d74b"));
  EXPECT_EQ(item("permission1")->property("tint").value<QColor>(), QColor("#ff453a"));
  // Pressing a permission opens its settings and, as this desktop has none, says where it comes from.
  EXPECT_FALSE(item("permissionHelp")->isVisible());
  std::vector<std::string> opened;
  auto previousOpener = PermissionManager::setUrlOpener([&](const std::string& url) { opened.push_back(url); });
  click(item("permission1"));
  PermissionManager::setUrlOpener(previousOpener);
  EXPECT_EQ(opened.size(), 1U);
  ASSERT_TRUE(testing::processEventsUntil([&] { return item("permissionHelp")->isVisible(); }));
  EXPECT_EQ(text("permissionHelp"), key("host.permission.accessibility.help"));
  const auto values = all("metricValue");
  ASSERT_EQ(values.size(), 29);
  EXPECT_EQ(values[1]->property("text").toString().toStdString(), "9090");
  EXPECT_EQ(values[24]->property("text").toString(), app::formatBytes(3'400'000'000));

  // A burst of events, more than the log keeps, faster than the pages redraw: one redraw shows them all.
  const std::string longName = std::string(64, 'f') + ".bin";
  const int before = countChanges_;
  for (int i = 0; i < 250; ++i) host_.metrics.logEvent(LogCategory::NET, "event " + std::to_string(i) + " " + longName);
  ASSERT_TRUE(testing::processEventsUntil([&] { return text("eventCount") == "200 events"; }));
  EXPECT_EQ(countChanges_, before + 1);

  // New values reach the same cells, so a cursor or selection in a cell outlives the update.
  values[1]->setProperty("cursorPosition", 2);
  view.fps = 59.94;
  show(view);
  EXPECT_EQ(all("metricValue"), values);
  EXPECT_EQ(values[9]->property("text").toString(), app::formatDecimal(59.94, 1));
  EXPECT_EQ(values[1]->property("cursorPosition").toInt(), 2);
  // The log lists all 200, newest first, and makes rows only for those on screen.
  auto* log = item("eventRows");
  EXPECT_EQ(log->property("count").toInt(), 200);
  auto messages = all("eventMessage");
  ASSERT_GT(messages.size(), 3);
  EXPECT_LT(messages.size(), 60);
  EXPECT_EQ(messages.front()->property("text").toString().toStdString(), "event 249 " + longName);
  EXPECT_FALSE(item("noEvents")->isVisible());
  expectNothingOverflows();
  EXPECT_TRUE(messages.front()->property("selectByMouse").toBool());
  QMetaObject::invokeMethod(log, "positionViewAtEnd");
  ASSERT_TRUE(testing::processEventsUntil([&] {
    for (auto* message : all("eventMessage")) {
      if (message->isVisible() && message->property("text").toString().toStdString() == "event 50 " + longName) return true;
    }
    return false;
  }));
}

TEST_F(ConsolePagesTest, ArrivingEventsMoveNeitherThePageNorTheLogLinesBeingRead) {
  load("AdvancedPage");
  auto logEvents = [&](int from, int count) {
    for (int i = from; i < from + count; ++i) host_.metrics.logEvent(LogCategory::NET, "event " + std::to_string(i));
    ASSERT_TRUE(testing::processEventsUntil(
        [&] { return item("eventRows")->property("count").toInt() == std::min(from + count, 200); }));
    QTest::qWait(50);
  };
  auto sceneY = [](QQuickItem* item) { return item->mapToScene(QPointF(0, 0)).y(); };
  logEvents(0, 1);
  const qreal links = sceneY(item("link0"));
  logEvents(1, 60);
  EXPECT_EQ(sceneY(item("link0")), links) << "the links stayed where they were";

  // Scrolled down the log, the line being read stays under the pointer while newer ones arrive above it.
  auto* log = item("eventRows");
  log->setProperty("contentY", log->property("originY").toReal() + 400);
  QTest::qWait(50);
  QQuickItem* read = nullptr;
  QMetaObject::invokeMethod(log, "itemAt", Q_RETURN_ARG(QQuickItem*, read), Q_ARG(qreal, 20),
                            Q_ARG(qreal, log->property("contentY").toReal() + 40));
  ASSERT_NE(read, nullptr);
  const std::string message = all("eventMessage", read).value(0)->property("text").toString().toStdString();
  const qreal before = sceneY(read);
  logEvents(61, 5);
  EXPECT_EQ(all("eventMessage", read).value(0)->property("text").toString().toStdString(), message);
  EXPECT_EQ(sceneY(read), before);
  EXPECT_EQ(sceneY(item("link0")), links);
}

TEST_F(ConsolePagesTest, MetricsGridColumnsFollowThePageWidth) {
  load("AdvancedPage", 300);
  EXPECT_EQ(item("metricsGrid")->property("columns").toInt(), 1);
  view_.resize(1700, 1200);
  ASSERT_TRUE(testing::processEventsUntil([&] { return item("metricsGrid")->property("columns").toInt() == 4; }));
}

TEST_F(ConsolePagesTest, TheWindowsConsoleShowsTheSelectedPageAndScrollsItWithTheWheel) {
  QTemporaryDir folder;
  QSettings settings(folder.filePath("settings.ini"), QSettings::IniFormat);
  settings.setValue(app::WindowShell::onboardingFlagKey, true);
  app::HostSnapshot state;
  state.hasResolvedPermissions = true;
  host_.set(state);
  app::WindowShell shell(bridge_, settings);
  app::MainWindow window(bridge_, shell, [] {});
  ASSERT_NE(window.window(), nullptr);
  window.bringForward();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(window.window()));
  QQuickItem* page = nullptr;
  ASSERT_TRUE(testing::processEventsUntil([&] {
    page = testing::itemsNamed(window.window()->contentItem(), "page").value(0);
    return page != nullptr;
  }));
  auto shown = [&](const char* name) { return !testing::itemsNamed(page, name).isEmpty(); };
  ASSERT_TRUE(testing::processEventsUntil([&] { return shown("heroButton"); }));
  shell.setPage("advanced");
  ASSERT_TRUE(testing::processEventsUntil([&] { return shown("metricsGrid"); }));

  // The advanced page is taller than the smallest window: the wheel scrolls it, and no further than its end.
  auto* detail = page->parentItem()->parentItem();  // the flickable around the page
  const QPoint inside(600, 300);
  for (int i = 0; i < 100; ++i) {
    QWheelEvent wheel(inside, window.window()->mapToGlobal(inside), {}, QPoint(0, -120), Qt::NoButton, {},
                      Qt::NoScrollPhase, false);
    QCoreApplication::sendEvent(window.window(), &wheel);
  }
  const qreal end = detail->property("contentHeight").toReal() - detail->height();
  EXPECT_GT(end, 0);
  EXPECT_EQ(detail->property("contentY").toReal(), end);
}

TEST_F(ConsolePagesTest, AFailedStartShowsBesideItsButtonAndAFailedSwitchUnderItInViewEachOnce) {
  QTemporaryDir folder;
  QSettings settings(folder.filePath("settings.ini"), QSettings::IniFormat);
  settings.setValue(app::WindowShell::onboardingFlagKey, true);
  app::HostSnapshot state;
  state.hasResolvedPermissions = true;
  state.hasAllPermissions = true;
  host_.set(state);
  app::WindowShell shell(bridge_, settings);
  app::MainWindow window(bridge_, shell, [] {});
  ASSERT_NE(window.window(), nullptr);
  window.bringForward();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(window.window()));
  auto* root = window.window()->contentItem();
  auto find = [&](const char* name) { return testing::itemsNamed(root, name).value(0); };
  ASSERT_TRUE(testing::processEventsUntil([&] { return find("heroButton") != nullptr; }));
  auto clickIn = [&](QQuickItem* target) {
    const QPointF centre = target->mapToScene(QPointF(target->width() / 2, target->height() / 2));
    QTest::mouseClick(window.window(), Qt::LeftButton, {}, centre.toPoint());
  };
  // Seen in the window: visible, and inside it rather than scrolled away.
  auto inView = [&](const char* name) {
    QQuickItem* item = find(name);
    if (!item || !item->isVisible()) return false;
    const QPointF top = item->mapToScene(QPointF(0, 0));
    return top.y() >= 0 && top.y() + item->height() <= window.window()->height();
  };

  // The start fails a moment after it began: the reason sits beside the button, and only there.
  clickIn(find("heroButton"));
  EXPECT_EQ(host_.calls.back(), "start");
  HostSnapshot view = host_.current;
  view.isStarting = true;
  host_.set(view);
  const std::string reason = "This computer could not be announced on the local network: no answer.";
  view.isStarting = false;
  view.lastError = reason;
  host_.set(view);
  ASSERT_TRUE(testing::processEventsUntil([&] { return inView("heroError"); }));
  QTest::qWait(200);
  EXPECT_TRUE(inView("heroError"));
  EXPECT_EQ(find("heroErrorText")->property("text").toString().toStdString(), reason);
  EXPECT_FALSE(find("errorRow")->isVisible());

  // A refused launch at login while the host runs: the reason under the switch, scrolled into view from below
  // the fold, and no longer beside the button.
  view.isRunning = true;
  view.localIP = "192.168.1.20";
  view.displayInfo = "Display 1 1920x1080 (waiting for a client)";
  host_.set(view);
  ASSERT_TRUE(testing::processEventsUntil([&] { return find("localIP")->isVisible(); }));
  host_.launchAtLoginRegisters = false;
  host_.launchAtLoginError =
      "Launch at login could not be changed: cannot write /home/someone/.config/autostart/veltrano-host.desktop: "
      "Read-only file system";
  clickIn(find("launchAtLoginSwitch"));
  EXPECT_EQ(host_.calls.back(), "launchAtLogin(on)");
  ASSERT_TRUE(testing::processEventsUntil([&] { return inView("errorRow"); }));
  // Still so once the page has laid the new row out below the switch.
  QTest::qWait(200);
  EXPECT_GT(find("errorRow")->mapToScene(QPointF(0, 0)).y(), find("launchAtLoginSwitch")->mapToScene(QPointF(0, 0)).y());
  EXPECT_TRUE(inView("errorRow"));
  EXPECT_EQ(find("errorText")->property("text").toString().toStdString(), host_.launchAtLoginError);
  EXPECT_FALSE(find("heroError")->isVisible());
  EXPECT_TRUE(find("pageScrollBar")->isVisible());
}

TEST_F(ConsolePagesTest, TheKeyboardReachesAndWorksTheNavigationAndTheHeroButton) {
  QTemporaryDir folder;
  QSettings settings(folder.filePath("settings.ini"), QSettings::IniFormat);
  settings.setValue(app::WindowShell::onboardingFlagKey, true);
  app::HostSnapshot state;
  state.hasResolvedPermissions = true;
  state.hasAllPermissions = true;
  host_.set(state);
  app::WindowShell shell(bridge_, settings);
  app::MainWindow window(bridge_, shell, [] {});
  ASSERT_NE(window.window(), nullptr);
  window.bringForward();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(window.window()));
  auto* root = window.window()->contentItem();
  auto find = [&](const char* name) { return testing::itemsNamed(root, name).value(0); };
  ASSERT_TRUE(testing::processEventsUntil([&] { return find("heroButton") != nullptr; }));
  auto focused = [&] { return window.window()->activeFocusItem(); };

  // Tab walks from the first navigation row to the second, whose name a screen reader reads; Return opens it.
  find("nav-overview")->forceActiveFocus();
  QTest::keyClick(window.window(), Qt::Key_Tab);
  ASSERT_EQ(focused(), find("nav-advanced"));
  QTest::keyClick(window.window(), Qt::Key_Return);
  EXPECT_EQ(shell.page(), "advanced");
  QTest::keyClick(window.window(), Qt::Key_Backtab);
  ASSERT_EQ(focused(), find("nav-overview"));
  QTest::keyClick(window.window(), Qt::Key_Space);
  EXPECT_EQ(shell.page(), "overview");

  // Further on, the hero's button; Space starts the host.
  ASSERT_TRUE(testing::processEventsUntil([&] { return find("heroButton") != nullptr; }));
  for (int i = 0; i < 5 && focused() != find("heroButton"); ++i) QTest::keyClick(window.window(), Qt::Key_Tab);
  ASSERT_EQ(focused(), find("heroButton"));
  QTest::keyClick(window.window(), Qt::Key_Space);
  EXPECT_EQ(host_.calls.back(), "start");

  // Each of them, and the launch-at-login switch, has the name a screen reader says.
  const std::pair<const char*, std::string> named[] = {{"nav-overview", key("host.nav.home")},
                                                       {"nav-advanced", key("host.nav.advanced")},
                                                       {"heroButton", key("host.action.start")},
                                                       {"launchAtLoginSwitch", key("host.auto_start.title")}};
  for (const auto& [name, spoken] : named) {
    QAccessibleInterface* accessible = QAccessible::queryAccessibleInterface(find(name));
    ASSERT_NE(accessible, nullptr) << name;
    EXPECT_EQ(accessible->text(QAccessible::Name).toStdString(), spoken) << name;
  }
}

TEST_F(ConsolePagesTest, TheOnboardingsReopenButtonIsInViewAtTheSmallestSize) {
  QTemporaryDir folder;
  QSettings settings(folder.filePath("settings.ini"), QSettings::IniFormat);
  app::HostSnapshot state;
  state.screenRecordingStatus = "missing";
  state.accessibilityStatus = "missing";
  host_.set(state);
  app::WindowShell shell(bridge_, settings, {{}, true});
  app::MainWindow window(bridge_, shell, [] {});
  ASSERT_NE(window.window(), nullptr);
  window.bringForward();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(window.window()));
  auto* root = window.window()->contentItem();
  auto find = [&](const char* name) { return testing::itemsNamed(root, name).value(0); };
  ASSERT_TRUE(testing::processEventsUntil([&] { return find("reopenSettings") != nullptr; }));
  // The help appears after a request that did not give access.
  state.showScreenRecordingRecoveryHelp = true;
  host_.set(state);
  auto* reopen = find("reopenSettings");
  auto* scroller = find("onboardingScroll");
  auto inView = [&] {
    if (!reopen->isVisible()) return false;
    const qreal top = reopen->mapToItem(scroller, QPointF(0, 0)).y();
    return top >= 0 && top + reopen->height() <= scroller->height();
  };
  ASSERT_TRUE(testing::processEventsUntil(inView));
  // Still so once the card has grown to hold the help.
  QTest::qWait(200);
  EXPECT_TRUE(inView());
  EXPECT_TRUE(find("onboardingScrollBar")->isVisible()) << scroller->property("contentHeight").toReal() << " "
                                                        << scroller->height();
}

TEST_F(ConsolePagesTest, FinishingTheOnboardingFadesTheConsoleIn) {
  QTemporaryDir folder;
  QSettings settings(folder.filePath("settings.ini"), QSettings::IniFormat);
  app::HostSnapshot state;
  state.screenRecordingStatus = "missing";
  state.accessibilityStatus = "missing";
  state.hasResolvedPermissions = true;
  host_.set(state);
  app::WindowShell shell(bridge_, settings, {{}, false});
  app::MainWindow window(bridge_, shell, [] {});
  ASSERT_NE(window.window(), nullptr);
  window.bringForward();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(window.window()));
  ASSERT_EQ(shell.content(), "onboarding");
  auto* content = testing::itemsNamed(window.window()->contentItem(), "content").value(0);
  ASSERT_NE(content, nullptr);
  EXPECT_EQ(content->opacity(), 1.0);

  // Both granted: the shell completes the onboarding, and the console comes in from transparent. Every opacity it
  // takes on the way is kept: a busy machine may be through the fade by the time the test looks.
  qreal faintest = content->opacity();
  const Connections keeping{{QObject::connect(content, &QQuickItem::opacityChanged, content,
                                              [&] { faintest = std::min(faintest, content->opacity()); })}};
  state.screenRecordingStatus = "granted";
  state.accessibilityStatus = "granted";
  state.hasAllPermissions = true;
  host_.set(state);
  ASSERT_TRUE(testing::processEventsUntil([&] { return shell.content() == "console"; }));
  EXPECT_LT(faintest, 0.5);
  EXPECT_TRUE(testing::processEventsUntil([&] { return content->opacity() == 1.0; }));
}

TEST_F(ConsolePagesTest, ANewStepGrowsAndFadesInUnlessMotionIsReducedBeforeOrMeanwhile) {
  for (const auto& [reduced, meanwhile] : {std::pair{false, false}, {true, false}, {false, true}}) {
    SCOPED_TRACE(reduced ? "reduced motion" : meanwhile ? "motion reduced meanwhile" : "motion");
    QTemporaryDir folder;
    QSettings settings(folder.filePath("settings.ini"), QSettings::IniFormat);
    app::HostSnapshot state;
    state.screenRecordingStatus = "missing";
    state.accessibilityStatus = "missing";
    host_.set(state);
    app::WindowShell shell(bridge_, settings, {{}, reduced});
    app::MainWindow window(bridge_, shell, [] {});
    ASSERT_NE(window.window(), nullptr);
    window.bringForward();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(window.window()));
    QQuickItem* icon = nullptr;
    ASSERT_TRUE(testing::processEventsUntil([&] {
      icon = testing::itemsNamed(window.window()->contentItem(), "stepIcon").value(0);
      return icon != nullptr;
    }));
    const auto named = [&](const char* name) { return all(name, window.window()->contentItem()).value(0); };
    QQuickItem* onboarding = named("onboarding");
    ASSERT_NE(onboarding, nullptr);
    // The entrance glide is over.
    ASSERT_TRUE(testing::processEventsUntil([&] { return reduced || onboarding->property("glide").toReal() == 1.0; }));
    const QString before = icon->property("name").toString();
    // Every scale the icon takes on the way is kept: a busy machine may be through the grow-in by the time the test
    // looks.
    qreal smallest = icon->scale();
    // Motion reduced while the grow-in runs: right where the flow has moved on and the new symbol has begun to
    // grow, before anything could move it further.
    struct Meanwhile {
      bool done = false;
      qreal scaleBefore = 0, scaleAfter = 0, stepVisualOpacity = 0, segmentWidth = 0;
      QColor accent;
    } seen;
    Connections keeping{{QObject::connect(icon, &QQuickItem::scaleChanged, icon,
                                          [&] { smallest = std::min(smallest, icon->scale()); })}};
    auto* flow = qobject_cast<app::OnboardingFlow*>(onboarding->property("flow").value<QObject*>());
    ASSERT_NE(flow, nullptr);
    if (meanwhile) {
      keeping.add(QObject::connect(flow, &app::OnboardingFlow::changed, icon, [&] {
        if (seen.done || icon->property("name").toString() == before) return;
        seen.done = true;
        seen.scaleBefore = icon->scale();
        shell.setReduceMotion(true);
        seen.scaleAfter = icon->scale();
        seen.stepVisualOpacity = named("stepVisual")->opacity();
        seen.segmentWidth = named("segment1")->width();
        seen.accent = onboarding->property("accent").value<QColor>();
      }));
    }
    state.screenRecordingStatus = "granted";
    host_.set(state);
    ASSERT_TRUE(testing::processEventsUntil([&] { return icon->property("name").toString() != before; }));
    if (reduced) {
      EXPECT_EQ(icon->scale(), 1.0);
    } else if (meanwhile) {
      // Everything that moves is where it would end, at once.
      ASSERT_TRUE(seen.done);
      EXPECT_LT(seen.scaleBefore, 1.0);
      EXPECT_EQ(seen.scaleAfter, 1.0);
      EXPECT_EQ(seen.stepVisualOpacity, 1.0);
      EXPECT_EQ(seen.segmentWidth, 38.0);
      EXPECT_EQ(seen.accent, QColor("#32d74b"));
    } else {
      EXPECT_LT(smallest, 1.0);
      EXPECT_TRUE(testing::processEventsUntil([&] { return icon->scale() == 1.0; }));
    }
  }
}

}  // namespace
}  // namespace veltrano
