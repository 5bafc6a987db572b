#include "platform/webrtc/descriptor_headroom.hpp"

#include <dirent.h>
#include <errno.h>
#include <sys/resource.h>

namespace veltrano::webrtc {

bool hasDescriptorHeadroom(std::size_t reserve) {
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return true;
  DIR* folder = ::opendir("/proc/self/fd");
  // Out of descriptors: not even one to read the folder with. Any other failure (no /proc) leaves the count
  // unknown, and the system's own limit decides.
  if (!folder) return errno != EMFILE && errno != ENFILE;
  std::size_t open = 0;
  while (::readdir(folder)) ++open;
  ::closedir(folder);
  open = open > 3 ? open - 3 : 0;  // ".", ".." and the folder's own
  return open + reserve <= limit.rlim_cur;
}

}  // namespace veltrano::webrtc
