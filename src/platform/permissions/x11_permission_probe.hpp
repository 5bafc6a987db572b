#pragma once
// What stands in for the system's privacy permissions on X11: event posting needs the XTEST extension,
// screen capture needs a working display whose root window can be read. Nothing can be "requested" here;
// a request is the same check again.
#include <memory>
#include <mutex>
#include <string>

namespace veltrano::platform {

class X11Display;

class X11PermissionProbe {
 public:
  // `displayName` empty: $DISPLAY. Opens nothing until the first check.
  explicit X11PermissionProbe(std::string displayName = {});
  ~X11PermissionProbe();

  // Thread-safe. Both keep one connection and reconnect when it is missing or broken.
  bool canPostEvents();
  bool canCaptureScreen();

 private:
  std::shared_ptr<X11Display> connectionLocked();

  std::string displayName_;
  std::mutex mutex_;
  std::shared_ptr<X11Display> display_;
};

// The probe of the process's own display, shared by every default check.
std::shared_ptr<X11PermissionProbe> sharedX11PermissionProbe();

}  // namespace veltrano::platform
