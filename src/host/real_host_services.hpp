#pragma once
// The factory of the real services: the file, control, audio and video servers on their ports, the x264
// encoder, the X11 capture service and the Avahi publisher, each behind the host's narrow interface.
#include <memory>

#include "base/clock.hpp"
#include "host/host_services.hpp"
#include "localserver/identity_provider.hpp"
#include "media/screen_capture_service.hpp"
#include "remote/device_identity.hpp"

namespace veltrano {

struct RealHostServiceOptions {
  IdentityProvider identityProvider;            // empty: the account key file
  ScreenCaptureEnvironment captureEnvironment;  // empty names: $DISPLAY and the default sound server
  Clock* clock = nullptr;                       // Bonjour time-out; null: the system clock
  std::shared_ptr<StringDefaults> deviceDefaults;  // keeps the remote device identifier; null: for this run only
};

std::shared_ptr<HostServiceFactory> makeRealHostServiceFactory(RealHostServiceOptions options = {});

}  // namespace veltrano
