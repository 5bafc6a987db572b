#pragma once
#include "platform/net/service_class.hpp"
#include "platform/net/tcp_parameters.hpp"

namespace veltrano {

// The TCP options of every local server's listener and its connections: no delay, keep-alive after 3 s idle,
// probing every 2 s, giving up after 3 probes, and the server's service class. Nothing else.
platform::TcpParameters localListenerParameters(platform::ServiceClass serviceClass);

}  // namespace veltrano
