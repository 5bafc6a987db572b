#include "control/control_hello_message.hpp"

#include <algorithm>

namespace veltrano {

json::Json helloDisplayEntry(const DisplayInfo& display) {
  return json::Json{{"id", display.id},
                    {"name", display.name},
                    {"width", display.width},
                    {"height", display.height},
                    {"videoPort", display.videoPort}};
}

json::Json makeControlHelloMessage(const ControlHelloContent& content) {
  const auto active = std::find_if(content.displays.begin(), content.displays.end(),
                                   [&](const DisplayInfo& display) { return display.id == content.activeDisplayID; });
  const std::uint16_t videoPort = active != content.displays.end() ? active->videoPort : fallbackHelloVideoPort;

  json::Json hello = {{"type", "hello"},
                      {"status", "ok"},
                      {"width", content.width},
                      {"height", content.height},
                      {"videoPort", videoPort},
                      {"audioPort", helloAudioPort}};
  if (content.fileChannel) {
    hello["filePort"] = content.fileChannel->port;
    hello["fileSessionID"] = content.fileChannel->sessionID;
    hello["capabilities"] = json::Json::array({"fileDownloadV1", "fileTransferV2"});
  }
  hello["activeDisplayID"] = content.activeDisplayID;
  json::Json displays = json::Json::array();
  for (const DisplayInfo& display : content.displays) displays.push_back(helloDisplayEntry(display));
  hello["displays"] = std::move(displays);
  return hello;
}

}  // namespace veltrano
