#include "localserver/listener_parameters.hpp"

namespace veltrano {

platform::TcpParameters localListenerParameters(platform::ServiceClass serviceClass) {
  using namespace std::chrono_literals;
  platform::TcpParameters parameters;
  parameters.noDelay = true;
  parameters.enableKeepalive = true;
  parameters.keepaliveIdle = 3s;
  parameters.keepaliveInterval = 2s;
  parameters.keepaliveCount = 3;
  parameters.serviceClass = serviceClass;
  return parameters;
}

}  // namespace veltrano
