#pragma once
#include <cstddef>
#include <cstdint>
#include <optional>

namespace veltrano {

// The kind of a local connection; its number travels in every handshake message.
enum class LocalTransportChannel : std::uint8_t {
  control = 0,
  video = 1,
  audio = 2,
  file = 3,
};

// Largest plaintext one record of this channel may carry.
std::size_t maximumPlaintextSize(LocalTransportChannel channel);

std::optional<LocalTransportChannel> localTransportChannelFromWire(std::uint8_t value);

}  // namespace veltrano
