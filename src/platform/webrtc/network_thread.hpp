#pragma once
// The one thread per process that runs every peer's ICE agent, DTLS and SCTP: a GLib main context of its own.
// The application starts it and holds the returned token for as long as peers may be made; each peer holds one
// too, so the thread outlives the last of them. It is stopped and joined by whoever releases the last token, or,
// when that happens on the thread itself, it finishes on its own. Work posted from any thread runs there in
// posting order.
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

typedef struct _GMainContext GMainContext;
typedef struct _GMainLoop GMainLoop;
typedef struct _GSource GSource;

namespace veltrano::webrtc {

class NetworkThread {
 public:
  // The running thread, started if there is none.
  static std::shared_ptr<NetworkThread> start();
  // The running thread, or nothing when no one holds it.
  static std::shared_ptr<NetworkThread> running();

  ~NetworkThread();
  NetworkThread(const NetworkThread&) = delete;
  NetworkThread& operator=(const NetworkThread&) = delete;

  // Runs `work` on the thread later, never inside the caller even when it is the network thread.
  void post(std::function<void()> work);
  bool isCurrent() const;
  GMainContext* context() const { return context_; }

  // Calls `tick` on the thread every `interval` until the timer is destroyed, which happens on the thread too.
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
  std::unique_ptr<Timer> startTimer(std::chrono::milliseconds interval, std::function<void()> tick);

 private:
  NetworkThread();

  GMainContext* context_;
  GMainLoop* loop_;
  std::thread thread_;
};

}  // namespace veltrano::webrtc
