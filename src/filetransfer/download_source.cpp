#include "filetransfer/download_source.hpp"

#include <fcntl.h>

#include "filetransfer/transfer_text_rules.hpp"

namespace veltrano {

std::optional<DownloadSource> openDownloadSource(const std::filesystem::path& path) {
  auto name = sanitizedFileName(path.filename().string());
  if (!name) return std::nullopt;
  // O_NONBLOCK keeps a pipe from blocking the open; it is refused just below as not a regular file.
  FileDescriptor fd(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
  if (!fd) return std::nullopt;
  struct stat status {};
  if (::fstat(fd.get(), &status) != 0 || !S_ISREG(status.st_mode)) return std::nullopt;
  const int flags = ::fcntl(fd.get(), F_GETFL);
  if (flags >= 0) ::fcntl(fd.get(), F_SETFL, flags & ~O_NONBLOCK);
  const auto identity = fileIdentity(status);
  DownloadSource source;
  source.path = path;
  source.name = std::move(*name);
  source.file = std::make_shared<FileDescriptor>(std::move(fd));
  source.snapshot = RemoteFileSnapshot{identity.size, identity.modificationDate, identity.systemNumber,
                                       identity.fileNumber};
  return source;
}

}  // namespace veltrano
