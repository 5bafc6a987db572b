#include "platform/webrtc/network_thread.hpp"

#include <glib.h>

#include <algorithm>
#include <cstdint>
#include <deque>
#include <mutex>
#include <thread>

namespace veltrano::webrtc {
namespace {

gboolean runOnce(gpointer data) {
  (*static_cast<std::function<void()>*>(data))();
  return G_SOURCE_REMOVE;
}

void deleteWork(gpointer data) { delete static_cast<std::function<void()>*>(data); }

// The running thread behind the application's tokens.
class Runner {
 public:
  Runner()
      : thread_(std::make_shared<NetworkThread>(g_main_context_new())),
        loop_(g_main_loop_new(thread_->context(), FALSE)) {
    os_ = std::thread([this] {
      GMainContext* context = thread_->context();
      g_main_context_push_thread_default(context);
      g_main_loop_run(loop_);
      // Work queued before the stop still runs here, so that what it releases goes on this thread.
      while (g_main_context_iteration(context, FALSE)) {
      }
      g_main_context_pop_thread_default(context);
    });
  }

  ~Runner() {
    // Quitting from inside the loop: a quit that came before the loop started running would be lost.
    thread_->post([loop = loop_] { g_main_loop_quit(loop); });
    if (os_.get_id() == std::this_thread::get_id()) {
      os_.detach();  // a misuse; joining itself would abort
    } else {
      os_.join();
    }
    g_main_loop_unref(loop_);
  }

  const std::shared_ptr<NetworkThread>& thread() const { return thread_; }

 private:
  std::shared_ptr<NetworkThread> thread_;
  GMainLoop* loop_;
  std::thread os_;
};

std::mutex runnerMutex;
std::weak_ptr<Runner> runner;

}  // namespace

std::shared_ptr<void> NetworkThread::start() {
  std::lock_guard lock(runnerMutex);
  auto current = runner.lock();
  if (!current) {
    current = std::make_shared<Runner>();
    runner = current;
  }
  return current;
}

std::shared_ptr<NetworkThread> NetworkThread::running() {
  std::lock_guard lock(runnerMutex);
  const auto current = runner.lock();
  return current ? current->thread() : nullptr;
}

// Posted work passes through a queue of our own under a std::mutex, and one source made before the thread starts
// wakes the thread for it: GLib's locks are futexes the thread sanitizer cannot see, so nothing handed over through
// GLib alone (a source's data allocated by the poster, say) would look synchronized.
struct NetworkThread::Queue {
  std::mutex mutex;
  std::deque<std::function<void()>> work;
};

namespace {

gboolean dispatchReady(GSource*, GSourceFunc callback, gpointer data) {
  return callback ? callback(data) : G_SOURCE_REMOVE;
}

GSourceFuncs wakeFuncs = {nullptr, nullptr, dispatchReady, nullptr, nullptr, nullptr};

}  // namespace

NetworkThread::NetworkThread(GMainContext* context)
    : context_(context), queue_(std::make_unique<Queue>()), wake_(g_source_new(&wakeFuncs, sizeof(GSource))) {
  g_source_set_priority(wake_, G_PRIORITY_DEFAULT);
  g_source_set_callback(
      wake_,
      +[](gpointer data) -> gboolean {
        auto* self = static_cast<NetworkThread*>(data);
        g_source_set_ready_time(self->wake_, -1);
        // What is posted while this batch runs comes after it, in a drain of its own.
        std::deque<std::function<void()>> batch;
        {
          std::lock_guard lock(self->queue_->mutex);
          batch.swap(self->queue_->work);
        }
        for (auto& work : batch) {
          work();
          work = nullptr;  // what it holds goes here, on the thread
        }
        return G_SOURCE_CONTINUE;
      },
      this, nullptr);
  g_source_attach(wake_, context_);
}

NetworkThread::~NetworkThread() {
  g_source_destroy(wake_);
  g_source_unref(wake_);
  g_main_context_unref(context_);
}

void NetworkThread::post(std::function<void()> work) {
  bool wasEmpty = false;
  {
    std::lock_guard lock(queue_->mutex);
    wasEmpty = queue_->work.empty();
    queue_->work.push_back(std::move(work));
  }
  // A wake-up that races with a running drain at worst dispatches once more over an empty queue.
  if (wasEmpty) g_source_set_ready_time(wake_, 0);
}

bool NetworkThread::isCurrent() const { return g_main_context_is_owner(context_); }

std::unique_ptr<NetworkThread::Timer> NetworkThread::startTimeout(std::chrono::milliseconds delay,
                                                                  std::function<void()> work) {
  GSource* source = g_timeout_source_new(static_cast<guint>(std::max<std::int64_t>(delay.count(), 0)));
  g_source_set_callback(source, runOnce, new std::function<void()>(std::move(work)), deleteWork);
  g_source_attach(source, context_);
  return std::unique_ptr<Timer>(new Timer(source));
}

NetworkThread::Timer::~Timer() {
  g_source_destroy(source_);
  g_source_unref(source_);
}

}  // namespace veltrano::webrtc
