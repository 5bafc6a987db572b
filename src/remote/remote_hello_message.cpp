#include "remote/remote_hello_message.hpp"

#include "control/control_hello_message.hpp"

namespace veltrano {

json::Json makeRemoteHelloMessage(std::int64_t width, std::int64_t height, std::uint32_t activeDisplayID,
                                  const std::vector<DisplayInfo>& displays) {
  json::Json hello = {{"type", "hello"},
                      {"status", "ok"},
                      {"width", width},
                      {"height", height},
                      {"activeDisplayID", activeDisplayID},
                      {"audioPort", 0},
                      {"videoPort", 0},
                      {"transport", "p2p"},
                      {"capabilities", json::Json::array({"fileDownloadV1", "fileTransferV2"})}};
  json::Json entries = json::Json::array();
  for (const DisplayInfo& display : displays) entries.push_back(helloDisplayEntry(display));
  hello["displays"] = std::move(entries);
  return hello;
}

}  // namespace veltrano
