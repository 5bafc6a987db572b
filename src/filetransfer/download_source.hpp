#pragma once
// The file the computer's user picked for a download, opened at the moment it is offered so that the bytes sent
// are those of the file that was checked, whatever happens to the path afterwards.
#include <filesystem>
#include <memory>
#include <optional>
#include <string>

#include "filetransfer/file_system.hpp"

namespace veltrano {

// What the file was when it was offered; the sender checks it again after the last receipt.
struct RemoteFileSnapshot {
  std::uint64_t size = 0;
  std::optional<FileTimestamp> modificationDate;
  std::optional<std::uint64_t> systemNumber;
  std::optional<std::uint64_t> fileNumber;
  bool operator==(const RemoteFileSnapshot&) const = default;
};

struct DownloadSource {
  std::filesystem::path path;
  std::string name;                       // passed sanitizedFileName
  std::shared_ptr<FileDescriptor> file;   // open for reading
  RemoteFileSnapshot snapshot;
};

// Opens the pick for reading without following a final symbolic link and checks that it is a regular file with a
// usable name. nullopt for anything else (a link, a folder, a device or pipe, an unreadable file, a bad name).
// Blocking: call it on the file-I/O pool.
std::optional<DownloadSource> openDownloadSource(const std::filesystem::path& path);

}  // namespace veltrano
