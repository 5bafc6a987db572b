#include "platform/capture/capture_stream.hpp"

#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>
#include <xcb/xcb.h>
#include <xcb/xfixes.h>

#include <libyuv/convert_from_argb.h>
#include <libyuv/scale_argb.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <future>
#include <optional>
#include <vector>

#include "base/thread_pools.hpp"
#include "platform/capture/capture_error.hpp"
#include "platform/capture/captured_frame_pool.hpp"
#include "platform/capture/cursor_overlay.hpp"
#include "platform/capture/damage_monitor.hpp"
#include "platform/capture/screen_grabber.hpp"
#include "platform/x11/xcb_reply.hpp"

namespace veltrano::platform {
namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr auto kMonitorCheckInterval = 500ms;
constexpr int kGrabFailuresBeforeStop = 3;
// How long stop() lets the thread finish a pending X request before it cuts the connection.
constexpr auto kStopGrace = 1s;
constexpr std::size_t kIdleFrames = 2;
constexpr int kMaxFramesPerSecond = 240;

bool intersects(const Rect& a, const Rect& b) {
  return a.x < b.x + b.width && b.x < a.x + a.width && a.y < b.y + b.height && b.y < a.y + a.height;
}

std::optional<X11Monitor> findMonitor(const std::vector<X11Monitor>& monitors, std::uint32_t id) {
  for (const auto& m : monitors) {
    if (m.id == id) return m;
  }
  return std::nullopt;
}

bool negotiateXFixes(xcb_connection_t* connection) {
  const xcb_query_extension_reply_t* extension = xcb_get_extension_data(connection, &xcb_xfixes_id);
  if (!extension || !extension->present) return false;
  XcbReply<xcb_xfixes_query_version_reply_t> version(
      xcb_xfixes_query_version_reply(connection, xcb_xfixes_query_version(connection, 4, 0), nullptr));
  return version && version->major_version >= 1;
}

// Where the pointer was drawn (or not) in the last delivered frame.
struct CursorState {
  bool inside = false;
  int x = 0;
  int y = 0;
  std::uint32_t serial = 0;
  bool operator==(const CursorState&) const = default;
};

}  // namespace

struct CaptureStream::Worker {
  CaptureStreamSettings settings;
  FrameHandler onFrame;
  StopHandler onStop;
  std::shared_ptr<X11Display> display;  // destroyed last: the parts below use its connection
  Rect lastBounds;  // the monitor as listed at start; any change ends the stream
  Rect area;        // the part of it inside the root window, which is what we grab
  PixelSize output;
  std::unique_ptr<ScreenGrabber> grabber;
  std::unique_ptr<DamageMonitor> damage;
  bool cursorAvailable = false;
  // Frames in flight: the one being filled, the encoder's, the service's last frame; kept spares beyond those.
  std::shared_ptr<CapturedFramePool> frames = CapturedFramePool::create(kIdleFrames);
  std::vector<std::uint8_t> scaled;  // the grab at the output size, only when the two differ
  std::atomic<int> framesPerSecond{60};
  int wakeFd = -1;
  std::atomic<bool> stopping{false};
  std::atomic<bool> frameRequested{false};
  std::promise<void> finished;

  static thread_local const Worker* current;  // the worker whose thread this is, if any

  ~Worker() {
    damage.reset();
    grabber.reset();
    if (wakeFd >= 0) close(wakeFd);
  }

  xcb_connection_t* connection() const { return display->connection(); }

  void requestStop() {
    stopping = true;
    const std::uint64_t one = 1;
    [[maybe_unused]] auto written = write(wakeFd, &one, sizeof one);
  }

  // Wakes a thread stuck in a reply from a server that no longer answers: xcb then fails the connection.
  void cutConnection() { shutdown(xcb_get_file_descriptor(connection()), SHUT_RDWR); }

  void run() {
    current = this;
    std::string failure = loop();
    if (!failure.empty() && !stopping.load() && onStop) onStop(failure);
    finished.set_value();
  }

  Clock::duration grabInterval() const {
    return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(1.0 / framesPerSecond.load()));
  }

  // Returns why the stream stopped by itself, or empty when it was asked to stop.
  //
  // A tick once per interval looks at the pointer and at requested frames; a change on the display wakes the thread
  // at once (DAMAGE events on the connection) and is grabbed right away. Either way two grabs are at least one
  // interval apart.
  std::string loop() {
    auto nextTick = Clock::now();
    auto earliestGrab = nextTick;
    auto nextMonitorCheck = nextTick + kMonitorCheckInterval;
    std::optional<CursorState> drawnCursor;
    bool grabPending = false;
    int failures = 0;
    for (;;) {
      if (!waitForWork(nextTick, earliestGrab, grabPending)) return {};
      if (xcb_connection_has_error(connection())) return "Lost the connection to the X server";
      const auto now = Clock::now();
      if (now >= nextMonitorCheck) {
        nextMonitorCheck = now + kMonitorCheckInterval;
        if (auto problem = checkMonitor(); !problem.empty()) return problem;
      }
      const auto interval = grabInterval();
      if (now >= nextTick) nextTick = std::max(nextTick + interval, now);

      grabPending |= damage->takeChanged();
      grabPending |= frameRequested.exchange(false);
      std::optional<CursorImage> cursor;
      CursorState cursorState;
      if (cursorAvailable) {
        cursor = fetchCursorImage(connection());
        if (cursor) {
          cursorState = {intersects(area, {cursor->x, cursor->y, cursor->width, cursor->height}), cursor->x,
                         cursor->y, cursor->serial};
        }
        if (!cursorState.inside) cursor.reset();
        // A pointer moving within, into or out of the display changes the picture although nothing was drawn.
        if (drawnCursor && (drawnCursor->inside || cursorState.inside) && !(*drawnCursor == cursorState)) {
          grabPending = true;
        }
      }
      if (!grabPending || now < earliestGrab) continue;

      earliestGrab = now + interval;
      nextTick = std::max(nextTick, earliestGrab);
      std::string error;
      if (!grabber->grab(error)) {
        if (xcb_connection_has_error(connection())) return "Lost the connection to the X server";
        if (++failures >= kGrabFailuresBeforeStop) return "Screen grab failed: " + error;
        continue;
      }
      const auto timestamp = Clock::now();
      failures = 0;
      grabPending = false;
      if (cursor) {
        compositeCursor(*cursor, grabber->pixels(), area.width, area.height, grabber->stride(), area.x, area.y);
      }
      drawnCursor = cursorState;
      deliver(timestamp);
    }
  }

  // Handles X events until the tick, or until a grab is due: something changed (or `grabPending`) and the last grab
  // is an interval old. False when asked to stop.
  bool waitForWork(Clock::time_point tick, Clock::time_point earliestGrab, bool grabPending) {
    const int xFd = xcb_get_file_descriptor(connection());
    for (;;) {
      while (xcb_generic_event_t* event = xcb_poll_for_event(connection())) {
        damage->handle(event);  // errors of unchecked requests arrive here too and are dropped
        std::free(event);
      }
      if (stopping) return false;
      if (xcb_connection_has_error(connection())) return true;
      const bool wantsGrab = grabPending || damage->hasChange();
      const auto deadline = wantsGrab ? std::min(tick, earliestGrab) : tick;
      const auto now = Clock::now();
      if (now >= deadline) return true;
      const auto wait = std::chrono::duration_cast<std::chrono::nanoseconds>(deadline - now).count();
      const timespec timeout{static_cast<time_t>(wait / 1'000'000'000), static_cast<long>(wait % 1'000'000'000)};
      xcb_flush(connection());  // a DAMAGE subtract without a grab after it
      pollfd fds[2] = {{xFd, POLLIN, 0}, {wakeFd, POLLIN, 0}};
      ppoll(fds, 2, &timeout, nullptr);
      if (fds[1].revents & POLLIN) return false;
    }
  }

  std::string checkMonitor() {
    const auto monitors = display->monitors();
    if (xcb_connection_has_error(connection())) return "Lost the connection to the X server";
    const auto monitor = findMonitor(monitors, settings.displayID);
    if (!monitor) return "Display " + std::to_string(settings.displayID) + " is no longer available";
    if (monitor->bounds != lastBounds) {
      return "Display " + std::to_string(settings.displayID) + " changed its position or size";
    }
    return {};
  }

  // Converts the grab straight out of the grabber's image (shared memory, which the next grab overwrites, so it is
  // read only here, before that grab) into a pooled I420 frame, and hands that on.
  void deliver(Clock::time_point timestamp) {
    auto frame = frames->acquire(output.width, output.height);
    frame->timestamp = timestamp;
    const std::uint8_t* source = grabber->pixels();
    int sourceStride = grabber->stride();
    if (output.width != area.width || output.height != area.height) {
      // The only scaling of the pipeline: the encoder receives frames at its session size.
      scaled.resize(static_cast<std::size_t>(output.width) * static_cast<std::size_t>(output.height) * 4);
      libyuv::ARGBScale(source, sourceStride, area.width, area.height, scaled.data(), output.width * 4, output.width,
                        output.height, libyuv::kFilterBox);
      source = scaled.data();
      sourceStride = output.width * 4;
    }
    libyuv::ARGBToI420(source, sourceStride, frame->y(), frame->width, frame->u(), frame->chromaWidth(), frame->v(),
                       frame->chromaWidth(), frame->width, frame->height);
    if (!stopping && onFrame) onFrame(std::move(frame));
  }
};

thread_local const CaptureStream::Worker* CaptureStream::Worker::current = nullptr;

std::unique_ptr<CaptureStream> CaptureStream::start(const CaptureStreamSettings& settings, FrameHandler onFrame,
                                                    StopHandler onStop) {
  if (settings.framesPerSecond <= 0 || settings.framesPerSecond > kMaxFramesPerSecond) {
    throw CaptureError("Invalid capture rate " + std::to_string(settings.framesPerSecond));
  }
  auto worker = std::make_shared<Worker>();
  worker->settings = settings;
  worker->framesPerSecond = settings.framesPerSecond;
  worker->onFrame = std::move(onFrame);
  worker->onStop = std::move(onStop);
  worker->display = X11Display::open(settings.xDisplayName.empty() ? nullptr : settings.xDisplayName.c_str());
  if (!worker->display) throw CaptureError("Cannot connect to the X server");
  const auto monitor = findMonitor(worker->display->monitors(), settings.displayID);
  if (!monitor) throw CaptureError("Display " + std::to_string(settings.displayID) + " not found");
  worker->lastBounds = monitor->bounds;

  // A monitor may reach past the root window; grabs outside it fail.
  const Rect& b = monitor->bounds;
  const int x0 = std::max(b.x, 0);
  const int y0 = std::max(b.y, 0);
  const int x1 = std::min(b.x + b.width, worker->display->screenWidth());
  const int y1 = std::min(b.y + b.height, worker->display->screenHeight());
  worker->area = {x0, y0, x1 - x0, y1 - y0};
  worker->output =
      cappedOutputSize(worker->area.width, worker->area.height, settings.maxOutputWidth, settings.maxOutputHeight);

  xcb_connection_t* connection = worker->display->connection();
  const std::uint32_t root = worker->display->rootWindow();
  worker->grabber = std::make_unique<ScreenGrabber>(connection, root, worker->area, worker->display->hasShm());
  std::string error;
  if (!worker->grabber->grab(error)) throw CaptureError("Screen grab failed: " + error);
  worker->damage = std::make_unique<DamageMonitor>(connection, root, worker->area);
  worker->cursorAvailable = settings.showsCursor && negotiateXFixes(connection);
  xcb_flush(connection);

  worker->wakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (worker->wakeFd < 0) throw CaptureError("Cannot create the capture thread's wake-up descriptor");

  std::unique_ptr<CaptureStream> stream(new CaptureStream(worker, *monitor, worker->output));
  stream->usesSharedMemory_ = worker->grabber->usesSharedMemory();
  stream->detectsDamage_ = worker->damage->available();
  stream->thread_ = std::thread([worker] {
    // Named, so that a grabbing thread can be told apart from the rest in ps and /proc.
    ::pthread_setname_np(::pthread_self(), kCaptureThreadName);
    worker->run();
  });
  return stream;
}

CaptureStream::CaptureStream(std::shared_ptr<Worker> worker, X11Monitor display, PixelSize outputSize)
    : worker_(std::move(worker)), display_(std::move(display)), outputSize_(outputSize) {}

CaptureStream::~CaptureStream() {
  stop();
  // Destroyed from one of its own handlers: the thread holds the worker and ends by itself; another joins it.
  if (thread_.joinable()) joinElsewhere(std::move(thread_));
}

void CaptureStream::stop() {
  if (Worker::current == worker_.get()) {
    worker_->requestStop();
    return;
  }
  std::lock_guard lock(stopMutex_);
  if (!thread_.joinable()) return;
  worker_->requestStop();
  auto finished = worker_->finished.get_future();
  if (finished.wait_for(kStopGrace) == std::future_status::timeout) worker_->cutConnection();
  thread_.join();
}

// The next tick picks it up; no need to wake the thread early.
void CaptureStream::requestFrame() { worker_->frameRequested = true; }

// Takes effect from the next grab on.
void CaptureStream::setFramesPerSecond(int framesPerSecond) {
  worker_->framesPerSecond = std::clamp(framesPerSecond, 1, kMaxFramesPerSecond);
}

int CaptureStream::framesPerSecond() const { return worker_->framesPerSecond; }

}  // namespace veltrano::platform
