#pragma once
// The one thread per process that runs every peer's ICE agent, DTLS and SCTP on a GLib main context of its own.
// The application starts it and holds the returned token while peers may exist; releasing the token (never on the
// thread itself) runs the work still queued, stops the thread and joins it. Peers hold the NetworkThread object,
// which keeps the context, not the thread. Work posted from any thread runs there in posting order.
#include <chrono>
#include <functional>
#include <memory>

typedef struct _GMainContext GMainContext;
typedef struct _GSource GSource;

namespace veltrano::webrtc {

class NetworkThread {
 public:
  // Starts the thread, or joins the running one; it runs while a token is held.
  static std::shared_ptr<void> start();
  // The running thread, or nothing when no token is held.
  static std::shared_ptr<NetworkThread> running();

  explicit NetworkThread(GMainContext* context);
  ~NetworkThread();
  NetworkThread(const NetworkThread&) = delete;
  NetworkThread& operator=(const NetworkThread&) = delete;

  // Runs `work` on the thread later, never inside the caller even when it is the network thread.
  void post(std::function<void()> work);
  bool isCurrent() const;
  GMainContext* context() const { return context_; }

  // Calls `work` once on the thread after `delay`, unless the timer is destroyed first (on the thread too).
  class Timer {
   public:
    ~Timer();
    Timer(const Timer&) = delete;
    Timer& operator=(const Timer&) = delete;

   private:
    friend class NetworkThread;
    explicit Timer(GSource* source) : source_(source) {}
    GSource* source_;
  };
  std::unique_ptr<Timer> startTimeout(std::chrono::milliseconds delay, std::function<void()> work);

 private:
  struct Queue;
  GMainContext* context_;
  std::unique_ptr<Queue> queue_;
  GSource* wake_;
};

}  // namespace veltrano::webrtc
