#include "platform/xdg/user_folders.hpp"

#include <cerrno>
#include <cstdlib>
#include <vector>

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace veltrano::platform {

std::optional<std::filesystem::path> homeFolder() {
  if (const char* home = std::getenv("HOME"); home != nullptr && home[0] == '/') return home;
  std::vector<char> buffer(16384);
  struct passwd entry {};
  struct passwd* result = nullptr;
  if (getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &result) == 0 && result != nullptr &&
      result->pw_dir != nullptr && result->pw_dir[0] == '/') {
    return result->pw_dir;
  }
  return std::nullopt;
}

std::optional<std::filesystem::path> xdgBaseFolder(const char* variable,
                                                   const std::filesystem::path& fallbackUnderHome) {
  if (const char* value = std::getenv(variable); value != nullptr && value[0] == '/') return value;
  auto home = homeFolder();
  if (!home) return std::nullopt;
  return *home / fallbackUnderHome;
}

int makeFolders(const std::filesystem::path& folder, mode_t mode) {
  std::filesystem::path partial;
  for (const auto& part : folder) {
    partial /= part;
    if (::mkdir(partial.c_str(), mode) != 0 && errno != EEXIST) return errno;
  }
  struct ::stat info {};
  if (::stat(folder.c_str(), &info) != 0) return errno;
  return S_ISDIR(info.st_mode) ? 0 : ENOTDIR;
}

}  // namespace veltrano::platform
