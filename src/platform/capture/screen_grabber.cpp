#include "platform/capture/screen_grabber.hpp"

#include <sys/ipc.h>
#include <sys/shm.h>
#include <xcb/shm.h>
#include <xcb/xcb.h>

#include "platform/capture/capture_error.hpp"
#include "platform/x11/xcb_reply.hpp"

namespace veltrano::platform {
namespace {

std::string xErrorText(const char* what, const xcb_generic_error_t* error) {
  return std::string(what) + " failed (X error " + std::to_string(error ? error->error_code : 0) + ")";
}

bool rootIs32BitLittleEndian(xcb_connection_t* connection, std::uint32_t root) {
  const xcb_setup_t* setup = xcb_get_setup(connection);
  if (setup->image_byte_order != XCB_IMAGE_ORDER_LSB_FIRST) return false;
  std::uint8_t depth = 0;
  for (auto it = xcb_setup_roots_iterator(setup); it.rem; xcb_screen_next(&it)) {
    if (it.data->root == root) depth = it.data->root_depth;
  }
  for (auto it = xcb_setup_pixmap_formats_iterator(setup); it.rem; xcb_format_next(&it)) {
    if (it.data->depth == depth) return it.data->bits_per_pixel == 32;
  }
  return false;
}

}  // namespace

ScreenGrabber::ScreenGrabber(xcb_connection_t* connection, std::uint32_t root, Rect area, bool tryShm)
    : connection_(connection), root_(root), area_(area) {
  if (area.width <= 0 || area.height <= 0) throw CaptureError("Display has an empty area");
  if (!rootIs32BitLittleEndian(connection, root)) {
    throw CaptureError("Unsupported screen format (need 32 bits per pixel, LSB first)");
  }
  if (tryShm) attachSharedMemory();
}

ScreenGrabber::~ScreenGrabber() { detachSharedMemory(); }

bool ScreenGrabber::attachSharedMemory() {
  XcbReply<xcb_shm_query_version_reply_t> version(
      xcb_shm_query_version_reply(connection_, xcb_shm_query_version(connection_), nullptr));
  if (!version) return false;
  const auto bytes = static_cast<std::size_t>(area_.width) * static_cast<std::size_t>(area_.height) * 4;
  const int id = shmget(IPC_PRIVATE, bytes, IPC_CREAT | 0600);
  if (id < 0) return false;
  void* address = shmat(id, nullptr, 0);
  if (address == reinterpret_cast<void*>(-1)) {
    shmctl(id, IPC_RMID, nullptr);
    return false;
  }
  const std::uint32_t segment = xcb_generate_id(connection_);
  xcb_generic_error_t* error = xcb_request_check(connection_, xcb_shm_attach_checked(connection_, segment, id, 0));
  // Marked for removal at once: the segment disappears with the last detach, even if we crash.
  shmctl(id, IPC_RMID, nullptr);
  if (error) {  // typically a server on another machine
    std::free(error);
    shmdt(address);
    return false;
  }
  shmSegment_ = segment;
  shmAddress_ = static_cast<std::uint8_t*>(address);
  return true;
}

void ScreenGrabber::detachSharedMemory() {
  if (!shmAddress_) return;
  if (!xcb_connection_has_error(connection_)) {
    xcb_shm_detach(connection_, shmSegment_);
    xcb_flush(connection_);
  }
  shmdt(shmAddress_);
  shmAddress_ = nullptr;
  shmSegment_ = 0;
}

bool ScreenGrabber::grab(std::string& error) {
  if (shmAddress_) {
    if (grabShared(error)) return true;
    detachSharedMemory();
    if (xcb_connection_has_error(connection_)) return false;
  }
  return grabPlain(error);
}

bool ScreenGrabber::grabShared(std::string& error) {
  xcb_generic_error_t* xError = nullptr;
  auto cookie = xcb_shm_get_image(connection_, root_, static_cast<std::int16_t>(area_.x),
                                  static_cast<std::int16_t>(area_.y), static_cast<std::uint16_t>(area_.width),
                                  static_cast<std::uint16_t>(area_.height), ~0u, XCB_IMAGE_FORMAT_Z_PIXMAP,
                                  shmSegment_, 0);
  XcbReply<xcb_shm_get_image_reply_t> reply(xcb_shm_get_image_reply(connection_, cookie, &xError));
  if (!reply) {
    error = xErrorText("ShmGetImage", xError);
    std::free(xError);
    return false;
  }
  pixels_ = shmAddress_;
  return true;
}

bool ScreenGrabber::grabPlain(std::string& error) {
  xcb_generic_error_t* xError = nullptr;
  auto cookie = xcb_get_image(connection_, XCB_IMAGE_FORMAT_Z_PIXMAP, root_, static_cast<std::int16_t>(area_.x),
                              static_cast<std::int16_t>(area_.y), static_cast<std::uint16_t>(area_.width),
                              static_cast<std::uint16_t>(area_.height), ~0u);
  plainReply_.reset(xcb_get_image_reply(connection_, cookie, &xError));
  pixels_ = nullptr;
  if (!plainReply_) {
    error = xErrorText("GetImage", xError);
    std::free(xError);
    return false;
  }
  const auto expected = static_cast<std::size_t>(stride()) * static_cast<std::size_t>(area_.height);
  if (static_cast<std::size_t>(xcb_get_image_data_length(plainReply_.get())) < expected) {
    error = "GetImage returned a short image";
    plainReply_.reset();
    return false;
  }
  pixels_ = xcb_get_image_data(plainReply_.get());
  return true;
}

}  // namespace veltrano::platform
