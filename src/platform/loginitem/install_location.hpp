#pragma once
// Whether the running program is an installed copy: our stand-in for "inside an Applications folder".
#include <filesystem>
#include <optional>
#include <vector>

namespace veltrano::platform {

// The running executable (/proc/self/exe) with symbolic links resolved; nullopt when it cannot be read.
std::optional<std::filesystem::path> runningExecutable();

// The two folders an installed copy lives in, in this order: the build's install prefix's bin folder (the
// system-wide copy, as the local domain's Applications folder is) and the user's ~/.local/bin (the user's
// own copy, as the user domain's is). The second is left out when there is no home folder.
std::vector<std::filesystem::path> installFolders();

// True when `executable`, with links resolved, is a candidate folder or lies below one (the path equals it or
// begins with it followed by "/"; a sibling such as "bin2" does not count). Candidates are resolved too; one
// that does not exist counts for nothing.
bool isInstalledUnder(const std::filesystem::path& executable, const std::vector<std::filesystem::path>& candidates);

// isInstalledUnder(runningExecutable(), installFolders()); false when the executable is unknown.
bool isRunningInstalledCopy();

}  // namespace veltrano::platform
