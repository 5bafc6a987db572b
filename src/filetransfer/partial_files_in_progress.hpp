#pragma once
// The partial files of the uploads being written in this process. Every ordinary end of an upload removes its own;
// this list is for the one end that leaves no time for that: the program ending at once because its X server went
// away. Any thread.
#include <filesystem>

namespace veltrano {

void rememberPartialFileInProgress(const std::filesystem::path& path);
void forgetPartialFileInProgress(const std::filesystem::path& path);
// Deletes every partial file still remembered; never throws.
void removePartialFilesInProgress() noexcept;

}  // namespace veltrano
