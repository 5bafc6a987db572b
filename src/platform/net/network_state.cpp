#include "platform/net/network_state.hpp"

namespace veltrano::platform {

std::string_view name(NetworkState::Kind kind) {
  switch (kind) {
    case NetworkState::Kind::setup: return "setup";
    case NetworkState::Kind::preparing: return "preparing";
    case NetworkState::Kind::waiting: return "waiting";
    case NetworkState::Kind::ready: return "ready";
    case NetworkState::Kind::failed: return "failed";
    case NetworkState::Kind::cancelled: return "cancelled";
  }
  return "unknown";
}

std::string describe(const NetworkState& state) {
  std::string text(name(state.kind));
  if (state.kind == NetworkState::Kind::waiting || state.kind == NetworkState::Kind::failed) {
    text += "(" + state.error.message() + ")";
  }
  return text;
}

}  // namespace veltrano::platform
