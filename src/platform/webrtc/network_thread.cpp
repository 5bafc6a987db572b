#include "platform/webrtc/network_thread.hpp"

#include <glib.h>

namespace veltrano::webrtc {
namespace {

std::mutex instanceMutex;
std::weak_ptr<NetworkThread> instance;

gboolean runOnce(gpointer data) {
  (*static_cast<std::function<void()>*>(data))();
  return G_SOURCE_REMOVE;
}

gboolean runRepeatedly(gpointer data) {
  (*static_cast<std::function<void()>*>(data))();
  return G_SOURCE_CONTINUE;
}

void deleteWork(gpointer data) { delete static_cast<std::function<void()>*>(data); }

}  // namespace

std::shared_ptr<NetworkThread> NetworkThread::running() {
  std::lock_guard lock(instanceMutex);
  return instance.lock();
}

std::shared_ptr<NetworkThread> NetworkThread::start() {
  std::lock_guard lock(instanceMutex);
  auto thread = instance.lock();
  if (!thread) {
    thread.reset(new NetworkThread());
    instance = thread;
  }
  return thread;
}

NetworkThread::NetworkThread() : context_(g_main_context_new()), loop_(g_main_loop_new(context_, FALSE)) {
  // The thread owns its own references, so that it may outlive this object when the last token is released on
  // the thread itself.
  thread_ = std::thread([context = g_main_context_ref(context_), loop = g_main_loop_ref(loop_)] {
    g_main_context_push_thread_default(context);
    g_main_loop_run(loop);
    while (g_main_context_iteration(context, FALSE)) {
    }
    g_main_context_pop_thread_default(context);
    g_main_loop_unref(loop);
    g_main_context_unref(context);
  });
}

NetworkThread::~NetworkThread() {
  g_main_loop_quit(loop_);
  if (isCurrent()) {
    thread_.detach();
  } else {
    thread_.join();
  }
  g_main_loop_unref(loop_);
  g_main_context_unref(context_);
}

void NetworkThread::post(std::function<void()> work) {
  GSource* source = g_idle_source_new();
  g_source_set_priority(source, G_PRIORITY_DEFAULT);
  g_source_set_callback(source, runOnce, new std::function<void()>(std::move(work)), deleteWork);
  g_source_attach(source, context_);
  g_source_unref(source);
}

bool NetworkThread::isCurrent() const { return thread_.get_id() == std::this_thread::get_id(); }

std::unique_ptr<NetworkThread::Timer> NetworkThread::startTimer(std::chrono::milliseconds interval,
                                                                std::function<void()> tick) {
  GSource* source = g_timeout_source_new(static_cast<guint>(interval.count()));
  g_source_set_callback(source, runRepeatedly, new std::function<void()>(std::move(tick)), deleteWork);
  g_source_attach(source, context_);
  return std::unique_ptr<Timer>(new Timer(source));
}

NetworkThread::Timer::~Timer() {
  g_source_destroy(source_);
  g_source_unref(source_);
}

}  // namespace veltrano::webrtc
