#include "platform/graphics/render_nodes.hpp"

#include <unistd.h>

#include <filesystem>
#include <system_error>

namespace veltrano::platform {

bool hasGpuRenderNode() { return hasGpuRenderNode("/dev/dri"); }

bool hasGpuRenderNode(const std::string& directory) {
  std::error_code error;
  for (std::filesystem::directory_iterator it(directory, error), end; !error && it != end; it.increment(error)) {
    const std::string name = it->path().filename().string();
    if (name.rfind("renderD", 0) == 0 && ::access(it->path().c_str(), R_OK | W_OK) == 0) return true;
  }
  return false;
}

}  // namespace veltrano::platform
