#pragma once
// One ICE server as the signaling service lists it.
#include <optional>
#include <string>
#include <vector>

namespace veltrano {

struct SignalingICEServer {
  std::vector<std::string> urls;
  std::optional<std::string> username;
  std::optional<std::string> credential;
  bool operator==(const SignalingICEServer&) const = default;
};

}  // namespace veltrano
