#include "filetransfer/file_system.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>
#include <utility>

namespace veltrano {

FileDescriptor& FileDescriptor::operator=(FileDescriptor&& other) noexcept {
  if (this != &other) {
    reset();
    fd_ = other.release();
  }
  return *this;
}

int FileDescriptor::release() { return std::exchange(fd_, -1); }

void FileDescriptor::reset() {
  if (fd_ >= 0) ::close(std::exchange(fd_, -1));
}

void FileDescriptor::closeChecked() {
  if (fd_ < 0) return;
  // Linux releases the descriptor even when close reports an error: never retry it.
  if (::close(std::exchange(fd_, -1)) != 0 && errno != EINTR) throwErrno("close");
}

FileIdentity fileIdentity(const struct stat& status) {
  return FileIdentity{static_cast<std::uint64_t>(status.st_size),
                      FileTimestamp{status.st_mtim.tv_sec, status.st_mtim.tv_nsec},
                      static_cast<std::uint64_t>(status.st_dev), static_cast<std::uint64_t>(status.st_ino)};
}

void throwErrno(const char* what) { throw std::system_error(errno, std::generic_category(), what); }

struct stat statDescriptor(int fd) {
  struct stat status {};
  if (::fstat(fd, &status) != 0) throwErrno("fstat");
  return status;
}

std::optional<struct stat> statAtNoFollow(int directoryFD, const std::string& name) {
  struct stat status {};
  if (::fstatat(directoryFD, name.c_str(), &status, AT_SYMLINK_NOFOLLOW) == 0) return status;
  if (errno == ENOENT) return std::nullopt;
  throwErrno("fstatat");
}

std::optional<struct stat> statPathNoFollow(const std::string& path) { return statAtNoFollow(AT_FDCWD, path); }

Bytes readAt(int fd, std::uint64_t offset, std::size_t maximum) {
  Bytes buffer(maximum);
  std::size_t filled = 0;
  while (filled < maximum) {
    const ssize_t n = ::pread(fd, buffer.data() + filled, maximum - filled, static_cast<off_t>(offset + filled));
    if (n < 0) {
      if (errno == EINTR) continue;
      throwErrno("pread");
    }
    if (n == 0) break;
    filled += static_cast<std::size_t>(n);
  }
  buffer.resize(filled);
  return buffer;
}

void writeAllAt(int fd, std::uint64_t offset, ByteView data) {
  std::size_t written = 0;
  while (written < data.size()) {
    const ssize_t n = ::pwrite(fd, data.data() + written, data.size() - written, static_cast<off_t>(offset + written));
    if (n < 0) {
      if (errno == EINTR) continue;
      throwErrno("pwrite");
    }
    written += static_cast<std::size_t>(n);
  }
}

void EarlyWriteOut::written(int fd, std::uint64_t end) {
  if (end < started_ || end - started_ < step_) return;
  ::sync_file_range(fd, static_cast<off_t>(started_), static_cast<off_t>(end - started_), SYNC_FILE_RANGE_WRITE);
  started_ = end;
}

}  // namespace veltrano
