#include "platform/keystore/key_file_stamp.hpp"

namespace veltrano::platform {

KeyFileStamp KeyFileStamp::of(const struct ::stat& info) {
  return KeyFileStamp{
      .device = static_cast<std::uint64_t>(info.st_dev),
      .inode = static_cast<std::uint64_t>(info.st_ino),
      .size = static_cast<std::int64_t>(info.st_size),
      .modifiedNanoseconds = static_cast<std::int64_t>(info.st_mtim.tv_sec) * 1'000'000'000 + info.st_mtim.tv_nsec,
  };
}

}  // namespace veltrano::platform
