#pragma once
// What tells one version of the key file from another without reading it.
#include <cstdint>

#include <sys/stat.h>

namespace veltrano::platform {

struct KeyFileStamp {
  std::uint64_t device = 0;
  std::uint64_t inode = 0;
  std::int64_t size = 0;
  std::int64_t modifiedNanoseconds = 0;

  static KeyFileStamp of(const struct ::stat& info);
  friend bool operator==(const KeyFileStamp&, const KeyFileStamp&) = default;
};

}  // namespace veltrano::platform
