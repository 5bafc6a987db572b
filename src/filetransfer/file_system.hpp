#pragma once
// The POSIX file operations the sender and the writer share: an owned descriptor, the identity of a file
// (size, modification time, device, inode) and reads and writes that finish short transfers and retry
// interrupted calls. Blocking: call them on the file-I/O pool only. Failures throw std::system_error.
#include <sys/stat.h>

#include <cstdint>
#include <optional>
#include <string>

#include "base/encoding.hpp"

namespace veltrano {

class FileDescriptor {
 public:
  FileDescriptor() = default;
  explicit FileDescriptor(int fd) : fd_(fd) {}
  ~FileDescriptor() { reset(); }
  FileDescriptor(FileDescriptor&& other) noexcept : fd_(other.release()) {}
  FileDescriptor& operator=(FileDescriptor&& other) noexcept;
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;

  int get() const { return fd_; }
  explicit operator bool() const { return fd_ >= 0; }
  int release();
  void reset();
  // Closes and reports the close's own error (a write-back failure on some file systems).
  void closeChecked();

 private:
  int fd_ = -1;
};

struct FileTimestamp {
  std::int64_t seconds = 0;
  std::int64_t nanoseconds = 0;
  bool operator==(const FileTimestamp&) const = default;
};

// What identifies a file's content: any change of one of these means another file or changed bytes.
struct FileIdentity {
  std::uint64_t size = 0;
  FileTimestamp modificationDate;
  std::uint64_t systemNumber = 0;  // st_dev
  std::uint64_t fileNumber = 0;    // st_ino
  bool operator==(const FileIdentity&) const = default;
};

FileIdentity fileIdentity(const struct stat& status);

[[noreturn]] void throwErrno(const char* what);

// fstat / fstatat without following a final symbolic link; nullopt when nothing is at the name.
struct stat statDescriptor(int fd);
std::optional<struct stat> statAtNoFollow(int directoryFD, const std::string& name);
std::optional<struct stat> statPathNoFollow(const std::string& path);

// Reads up to `maximum` bytes at `offset`; fewer only at the end of the file (0 at or past it).
Bytes readAt(int fd, std::uint64_t offset, std::size_t maximum);
// Writes all of `data` at `offset`.
void writeAllAt(int fd, std::uint64_t offset, ByteView data);

// For a file written from the start onwards and flushed to stable storage at the end: has the kernel start
// writing the new bytes out each time another `step` bytes were written, so that the final flush finds little
// left to write instead of the whole file. It starts the write-out and does not wait for it.
class EarlyWriteOut {
 public:
  static constexpr std::uint64_t defaultStep = 8 * 1024 * 1024;
  explicit EarlyWriteOut(std::uint64_t step = defaultStep) : step_(step) {}
  // The bytes before `end` are written. A failure is left to the final flush, which reports it.
  void written(int fd, std::uint64_t end);

 private:
  const std::uint64_t step_;
  std::uint64_t started_ = 0;  // the write-out of the bytes before this offset has begun
};

}  // namespace veltrano
