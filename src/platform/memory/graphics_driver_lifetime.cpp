#include "platform/memory/graphics_driver_lifetime.hpp"

#include <dlfcn.h>
#include <link.h>

#include <string>
#include <string_view>
#include <vector>

namespace veltrano::platform {

void keepGraphicsDriversLoaded() {
  std::vector<std::string> drivers;
  dl_iterate_phdr(
      [](dl_phdr_info* info, std::size_t, void* found) {
        const std::string_view path = info->dlpi_name ? info->dlpi_name : "";
        if (path.ends_with("_dri.so")) static_cast<std::vector<std::string>*>(found)->emplace_back(path);
        return 0;
      },
      &drivers);
  // RTLD_NOLOAD with RTLD_NODELETE only marks an object already loaded; the reference taken is never dropped.
  for (const auto& path : drivers) ::dlopen(path.c_str(), RTLD_NOW | RTLD_NOLOAD | RTLD_NODELETE);
}

}  // namespace veltrano::platform
