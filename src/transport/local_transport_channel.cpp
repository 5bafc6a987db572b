#include "transport/local_transport_channel.hpp"

namespace veltrano {

std::size_t maximumPlaintextSize(LocalTransportChannel channel) {
  switch (channel) {
    case LocalTransportChannel::control:
      return 262144;
    case LocalTransportChannel::video:
      return 8388608;
    case LocalTransportChannel::audio:
      return 65536;
    case LocalTransportChannel::file:
      return 65536;
  }
  return 0;
}

std::optional<LocalTransportChannel> localTransportChannelFromWire(std::uint8_t value) {
  if (value > static_cast<std::uint8_t>(LocalTransportChannel::file)) return std::nullopt;
  return static_cast<LocalTransportChannel>(value);
}

}  // namespace veltrano
