#pragma once
// The hello a remote tablet receives when its control channel opens: what the local hello says, but with media
// on data channels ("transport" "p2p", ports 0) and without a file port or file session (files travel on the
// session's own file channel).
#include <cstdint>
#include <vector>

#include "base/json.hpp"
#include "core/display_info.hpp"

namespace veltrano {

json::Json makeRemoteHelloMessage(std::int64_t width, std::int64_t height, std::uint32_t activeDisplayID,
                                  const std::vector<DisplayInfo>& displays);

}  // namespace veltrano
