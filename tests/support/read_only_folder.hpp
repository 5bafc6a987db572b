#pragma once
// Makes a folder refuse new files for the rest of the test, even for root (which ignores mode bits): the folder
// also gets the immutable attribute where the file system and the user's capabilities allow it.
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <filesystem>
#include <optional>
#include <string>

namespace veltrano::testing {

class ReadOnlyFolder {
 public:
  explicit ReadOnlyFolder(std::filesystem::path folder) : folder_(std::move(folder)) {
    std::filesystem::permissions(folder_, std::filesystem::perms::owner_read | std::filesystem::perms::owner_exec);
    if (!refusesNewFiles()) immutable_ = setImmutable(true);
  }
  ~ReadOnlyFolder() {
    if (immutable_) setImmutable(false);
    std::error_code ignored;
    std::filesystem::permissions(folder_, std::filesystem::perms::owner_all, ignored);
  }
  ReadOnlyFolder(const ReadOnlyFolder&) = delete;
  ReadOnlyFolder& operator=(const ReadOnlyFolder&) = delete;

  // Why the folder could not be made read-only; nullopt when it is.
  std::optional<std::string> problem() const {
    if (refusesNewFiles()) return std::nullopt;
    return "cannot make " + folder_.string() + " read-only (root on a file system without the immutable attribute)";
  }

 private:
  bool refusesNewFiles() const {
    const auto probe = folder_ / ".write-probe";
    const int fd = ::open(probe.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) return true;
    ::close(fd);
    ::unlink(probe.c_str());
    return false;
  }

  bool setImmutable(bool on) const {
    const int fd = ::open(folder_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return false;
    int flags = 0;
    bool done = ::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
    flags = on ? (flags | FS_IMMUTABLE_FL) : (flags & ~FS_IMMUTABLE_FL);
    done = done && ::ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
    ::close(fd);
    return done;
  }

  std::filesystem::path folder_;
  bool immutable_ = false;
};

}  // namespace veltrano::testing
