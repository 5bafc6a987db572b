#pragma once
// Reads one rectangle of the root window: through a shared memory segment (MIT-SHM) when the server can reach our
// memory, else through plain GetImage.
#include <xcb/xcb.h>

#include <cstdint>
#include <string>

#include "platform/x11/x11_display.hpp"
#include "platform/x11/xcb_reply.hpp"


namespace veltrano::platform {

class ScreenGrabber {
 public:
  // Throws CaptureError when the screen's pixels are not 32-bit little-endian (the only layout we convert).
  ScreenGrabber(xcb_connection_t* connection, std::uint32_t root, Rect area, bool tryShm);
  ~ScreenGrabber();
  ScreenGrabber(const ScreenGrabber&) = delete;
  ScreenGrabber& operator=(const ScreenGrabber&) = delete;

  // Grabs the area. The pixels stay ours (and writable) until the next grab. On failure returns false and sets
  // `error`; a failed MIT-SHM grab moves this grabber to GetImage for good.
  bool grab(std::string& error);
  std::uint8_t* pixels() const { return pixels_; }
  int stride() const { return area_.width * 4; }
  const Rect& area() const { return area_; }
  bool usesSharedMemory() const { return shmAddress_ != nullptr; }

 private:
  bool attachSharedMemory();
  void detachSharedMemory();
  bool grabShared(std::string& error);
  bool grabPlain(std::string& error);

  xcb_connection_t* connection_;
  std::uint32_t root_;
  Rect area_;
  std::uint32_t shmSegment_ = 0;
  std::uint8_t* shmAddress_ = nullptr;
  XcbReply<xcb_get_image_reply_t> plainReply_;
  std::uint8_t* pixels_ = nullptr;
};

}  // namespace veltrano::platform
