#pragma once
// Qt for tests: one QApplication per test program (offscreen unless the environment names a platform), the main
// executor on its thread, and a way to turn Qt's loop until something has happened.
#include <QApplication>
#include <QElapsedTimer>
#include <QList>
#include <QQuickItem>

#include <chrono>
#include <cstdlib>
#include <functional>
#include <memory>
#include <thread>

#include "app/qt_main_context.hpp"
#include "base/executors.hpp"

namespace veltrano::testing {

inline QApplication& qtApplication() {
  static int argc = 1;
  static char name[] = "veltrano-app-tests";
  static char* argv[] = {name, nullptr};
  if (!std::getenv("QT_QPA_PLATFORM")) setenv("QT_QPA_PLATFORM", "offscreen", 1);
  static auto* application = [] {
    auto* created = new QApplication(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);
    return created;
  }();  // lives until the process ends: Qt must not be torn down between tests
  return *application;
}

// Turns Qt's loop until `done` holds or `timeout` passes; returns done().
inline bool processEventsUntil(const std::function<bool()>& done,
                               std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
  QElapsedTimer elapsed;
  elapsed.start();
  while (!done()) {
    if (elapsed.elapsed() > timeout.count()) return false;
    QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents, 5);
  }
  return true;
}

// Every item named `name` in the visual tree under `root`, in the tree's order.
inline QList<QQuickItem*> itemsNamed(QQuickItem* root, const char* name) {
  QList<QQuickItem*> found;
  const std::function<void(QQuickItem*)> visit = [&](QQuickItem* parent) {
    for (auto* child : parent->childItems()) {
      if (child->objectName() == QLatin1String(name)) found.append(child);
      visit(child);
    }
  };
  visit(root);
  return found;
}

// The Qt main executor installed for one test; its queue is shut down and the previous executor put back at the
// end.
class QtMainForTests {
 public:
  QtMainForTests() : previous_(mainExecutor()) {
    qtApplication();
    context_ = std::make_unique<app::QtMainContext>();
    setMainExecutor(context_->get_executor(), std::this_thread::get_id());
  }
  ~QtMainForTests() {
    context_.reset();
    setMainExecutor(previous_, std::this_thread::get_id());
  }
  app::QtMainContext& context() { return *context_; }

 private:
  boost::asio::any_io_executor previous_;
  std::unique_ptr<app::QtMainContext> context_;
};

}  // namespace veltrano::testing
