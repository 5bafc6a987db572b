#pragma once
// Whether this process can reach a GPU: a DRM render node (/dev/dri/renderD*) it may open for reading and writing.
// Without one, OpenGL here is Mesa's software rasteriser.
#include <string>

namespace veltrano::platform {

bool hasGpuRenderNode();

// The same for the render nodes under `directory`.
bool hasGpuRenderNode(const std::string& directory);

}  // namespace veltrano::platform
