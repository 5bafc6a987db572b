#pragma once
// What a peer session reports to its owner. Each closure does nothing until the owner sets it, which it does
// right after creating the session and before handing it any signal. All of them run on the session's queue,
// one at a time (webrtc_peer_session.hpp).
#include <functional>
#include <string>

#include "base/encoding.hpp"
#include "core/webrtc_route.hpp"

namespace veltrano {

class WebRTCPeerCallbacks {
 public:
  enum class State { connecting, connected, disconnected, failed, closed };

  // A local description was set ("offer", "answer") or a local candidate came ("candidate"), with its JSON body.
  std::function<void(const std::string& kind, const Bytes& body)> onLocalSignal = [](const std::string&, const Bytes&) {};
  // `closed` comes once and last.
  std::function<void(State)> onState = [](State) {};
  // A whole application message arrived on the channel with this label.
  std::function<void(const std::string& label, const Bytes& message)> onData = [](const std::string&, const Bytes&) {};
  // Once per channel: it reached the open state. A channel that another of the same label replaced reports nothing.
  std::function<void(const std::string& label)> onChannelOpened = [](const std::string&) {};
  // The route of the selected candidate pair, when it differs from the one last reported.
  std::function<void(WebRTCRoute)> onRoute = [](WebRTCRoute) {};
};

}  // namespace veltrano
