#pragma once
// Continuous capture of one display (a RandR monitor) on a thread of its own: grabs as soon as something on the
// display changed (DAMAGE) or the pointer moved, at most once per interval of the set rate, draws the pointer in,
// converts the picture to I420 and hands each new frame to a callback. Frames come from a small pool: a frame's
// planes are reused once every holder has let go of it.
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "platform/capture/captured_frame.hpp"
#include "platform/capture/output_size.hpp"
#include "platform/x11/x11_display.hpp"

namespace veltrano::platform {

struct CaptureStreamSettings {
  std::uint32_t displayID = 0;  // RandR monitor name atom
  int framesPerSecond = 60;     // ceiling of the grab rate, 1 to 240
  int maxOutputWidth = 0;       // 0: no limit (see cappedOutputSize)
  int maxOutputHeight = 0;
  bool showsCursor = true;
  std::string xDisplayName;  // empty: $DISPLAY
};

class CaptureStream {
 public:
  // The name of each stream's capture thread.
  static constexpr const char* kCaptureThreadName = "veltrano-grab";
  // Both run on the capture thread and must return quickly.
  using FrameHandler = std::function<void(std::shared_ptr<const CapturedFrame> frame)>;
  // The stream stopped by itself (display removed or changed, X connection lost, grabs failing). Called at most
  // once, never after stop() was called; the thread ends right after.
  using StopHandler = std::function<void(const std::string& message)>;

  // Connects to the X server, finds the display, checks that a grab works and starts the capture thread.
  // Throws CaptureError with a readable message otherwise.
  static std::unique_ptr<CaptureStream> start(const CaptureStreamSettings& settings, FrameHandler onFrame,
                                              StopHandler onStop);
  ~CaptureStream();  // stop()
  CaptureStream(const CaptureStream&) = delete;
  CaptureStream& operator=(const CaptureStream&) = delete;

  // Ends the thread and waits for it (bounded even when the X server hangs). Idempotent. From inside a handler it
  // only asks the thread to end.
  void stop();
  // Grab and deliver on the next tick even if nothing changed.
  void requestFrame();
  // Changes the ceiling of the grab rate while the stream runs (clamped to 1..240).
  void setFramesPerSecond(int framesPerSecond);
  int framesPerSecond() const;

  const X11Monitor& display() const { return display_; }  // as found at start
  PixelSize outputSize() const { return outputSize_; }     // size of every delivered frame
  // How the stream grabs, as set up at start (a failing MIT-SHM grab later falls back to GetImage).
  bool usesSharedMemory() const { return usesSharedMemory_; }
  bool detectsDamage() const { return detectsDamage_; }

 private:
  struct Worker;
  CaptureStream(std::shared_ptr<Worker> worker, X11Monitor display, PixelSize outputSize);

  std::shared_ptr<Worker> worker_;
  X11Monitor display_;
  PixelSize outputSize_;
  bool usesSharedMemory_ = false;
  bool detectsDamage_ = false;
  std::mutex stopMutex_;
  std::thread thread_;
};

}  // namespace veltrano::platform
