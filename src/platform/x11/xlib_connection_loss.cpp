#include "platform/x11/xlib_connection_loss.hpp"

#include <dlfcn.h>

#include <atomic>

namespace veltrano::platform {
namespace {

// Xlib's handler type, with its Display* kept opaque: the program does not link Xlib itself.
using IoErrorHandler = int (*)(void* display);
using SetIoErrorHandler = IoErrorHandler (*)(IoErrorHandler handler);

std::atomic<void (*)()> installed{nullptr};

int onIoError(void*) {
  if (auto handler = installed.load()) handler();
  return 0;
}

}  // namespace

bool setXlibConnectionLossHandler(void (*handler)()) {
  auto set = reinterpret_cast<SetIoErrorHandler>(::dlsym(RTLD_DEFAULT, "XSetIOErrorHandler"));
  if (!set) return false;
  installed = handler;
  set(&onIoError);
  return true;
}

}  // namespace veltrano::platform
