#pragma once
// Where the user's files live (the XDG base folders) and the making of missing folders.
#include <filesystem>
#include <optional>

#include <sys/types.h>

namespace veltrano::platform {

// $HOME when it is an absolute path, else the password database's entry; nullopt when neither gives one.
std::optional<std::filesystem::path> homeFolder();

// $variable when it is an absolute path (relative ones are ignored, as the XDG rules say), else the home
// folder joined with `fallbackUnderHome`; nullopt without a home folder.
std::optional<std::filesystem::path> xdgBaseFolder(const char* variable, const std::filesystem::path& fallbackUnderHome);

// Creates `folder` and each missing parent with `mode`; existing ones are left as they are.
// 0, or the errno of the step that failed.
int makeFolders(const std::filesystem::path& folder, mode_t mode);

}  // namespace veltrano::platform
