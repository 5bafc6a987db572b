#include "app/qt_main_context.hpp"

#include <QObject>

#include <cstdio>

namespace veltrano::app {

QEvent::Type PostedFunctionEvent::eventType() {
  static const auto type = static_cast<QEvent::Type>(QEvent::registerEventType());
  return type;
}

// A plain QObject living on the GUI thread whose only job is to run the functions posted to it.
class QtMainContext::Dispatcher final : public QObject {
 public:
  explicit Dispatcher(QtMainContext& context) : context_(context) {}
  bool event(QEvent* event) override {
#if defined(__SANITIZE_THREAD__)
    // Before the first read: the event was built on the posting thread.
    __tsan_acquire(event);
#endif
    if (event->type() != PostedFunctionEvent::eventType()) return QObject::event(event);
    context_.runPosted(*static_cast<PostedFunctionEvent*>(event));
    return true;
  }

 private:
  QtMainContext& context_;
};

QtMainContext::QtMainContext() : dispatcher_(new Dispatcher(*this)), guiThread_(std::this_thread::get_id()) {}

QtMainContext::~QtMainContext() {
  shutdownQueue();
  // Services exist only when an I/O object was built on this context; their pending operations may still
  // hold tracked executors, so they go while the members are alive.
  shutdown();
  delete dispatcher_;
  dispatcher_ = nullptr;
  destroy();
}

void QtMainContext::shutdownQueue() {
  shut_.store(true, std::memory_order_release);
  QCoreApplication::removePostedEvents(dispatcher_, 0);
}

void QtMainContext::runPosted(PostedFunctionEvent& event) noexcept {
  try {
    event.run();
  } catch (...) {
    if (onException) {
      try {
        onException(std::current_exception());
        return;
      } catch (...) {
      }
    }
    std::fprintf(stderr, "uncaught exception in a function posted to the main thread\n");
  }
}

}  // namespace veltrano::app
