#include "platform/loginitem/install_location.hpp"

#include <string>
#include <system_error>

#include "platform/xdg/user_folders.hpp"

namespace veltrano::platform {

namespace {

std::optional<std::filesystem::path> resolved(const std::filesystem::path& path) {
  std::error_code error;
  auto canonical = std::filesystem::canonical(path, error);
  if (error) return std::nullopt;
  return canonical;
}

bool liesWithin(const std::string& path, std::string folder) {
  if (path == folder) return true;
  if (folder.empty() || folder.back() != '/') folder += '/';
  return path.starts_with(folder);
}

}  // namespace

std::optional<std::filesystem::path> runningExecutable() { return resolved("/proc/self/exe"); }

std::vector<std::filesystem::path> installFolders() {
  std::vector<std::filesystem::path> folders{VELTRANO_INSTALL_BINDIR};
  if (auto home = homeFolder()) folders.push_back(*home / ".local" / "bin");
  return folders;
}

bool isInstalledUnder(const std::filesystem::path& executable, const std::vector<std::filesystem::path>& candidates) {
  const auto program = resolved(executable);
  if (!program) return false;
  for (const auto& candidate : candidates) {
    const auto folder = resolved(candidate);
    if (folder && liesWithin(program->string(), folder->string())) return true;
  }
  return false;
}

bool isRunningInstalledCopy() {
  const auto executable = runningExecutable();
  return executable && isInstalledUnder(*executable, installFolders());
}

}  // namespace veltrano::platform
