#pragma once
// The hello message a local control client receives right after its handshake: the host's size, the ports to
// open for video, audio and files, the displays and the active one.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "base/json.hpp"
#include "core/display_info.hpp"

namespace veltrano {

struct ControlHelloFileChannel {
  std::uint16_t port = 0;  // where the file-channel server listens now
  std::string sessionID;   // the client's file session (lowercase UUID text)
};

struct ControlHelloContent {
  std::int64_t width = 0;
  std::int64_t height = 0;
  std::uint32_t activeDisplayID = 0;
  std::vector<DisplayInfo> displays;
  // Present only when the client can use the file channel right now.
  std::optional<ControlHelloFileChannel> fileChannel;
};

// The video port clients use when the active display is not in the list.
inline constexpr std::uint16_t fallbackHelloVideoPort = 9100;
inline constexpr std::uint16_t helloAudioPort = 9092;

// {"type": "hello", "status": "ok", "width", "height", "videoPort", "audioPort", "activeDisplayID", "displays",
// and with a file channel "filePort", "fileSessionID" and "capabilities"}.
json::Json makeControlHelloMessage(const ControlHelloContent& content);

// One display of a hello's "displays": "id", "name", "width", "height", "videoPort".
json::Json helloDisplayEntry(const DisplayInfo& display);

}  // namespace veltrano
