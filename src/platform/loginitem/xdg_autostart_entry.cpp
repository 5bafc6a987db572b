#include "platform/loginitem/xdg_autostart_entry.hpp"

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string_view>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/loginitem/desktop_entry_text.hpp"
#include "platform/xdg/user_folders.hpp"

namespace veltrano::platform {

namespace {

constexpr mode_t kFolderMode = 0700;
constexpr mode_t kFileMode = 0644;

[[noreturn]] void fail(LoginItemError::Kind kind, int error, const std::filesystem::path& path,
                       std::string_view action) {
  throw LoginItemError(kind, error, path, std::string(action) + " " + path.string() + ": " + std::strerror(error));
}

// 0 or the errno of the failing step.
int writeAll(int fd, std::string_view text) {
  while (!text.empty()) {
    const ssize_t put = ::write(fd, text.data(), text.size());
    if (put < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    text.remove_prefix(static_cast<std::size_t>(put));
  }
  return 0;
}

void syncFolder(const std::filesystem::path& folder) {
  const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  ::fsync(fd);
  ::close(fd);
}

}  // namespace

XdgAutostartEntry::XdgAutostartEntry(std::optional<std::filesystem::path> folder, std::filesystem::path program,
                                     std::string name)
    : folder_(std::move(folder)), program_(std::move(program)), name_(std::move(name)) {}

std::optional<std::filesystem::path> XdgAutostartEntry::defaultFolder() {
  auto config = xdgBaseFolder("XDG_CONFIG_HOME", ".config");
  if (!config) return std::nullopt;
  return *config / "autostart";
}

std::optional<std::filesystem::path> XdgAutostartEntry::filePath() const {
  if (!folder_) return std::nullopt;
  return *folder_ / fileName;
}

std::string XdgAutostartEntry::entryText() const {
  return "[Desktop Entry]\n"
         "Type=Application\n"
         "Version=1.4\n"
         "Name=" + name_ + "\n"
         "Exec=" + execValueForProgram(program_.string()) + "\n"
         "Terminal=false\n"
         "X-GNOME-Autostart-enabled=true\n";
}

LoginItemStatus XdgAutostartEntry::status() const {
  const auto path = filePath();
  if (!path) return LoginItemStatus::notFound;
  std::ifstream file(*path, std::ios::binary);
  if (!file) return LoginItemStatus::notRegistered;
  std::stringstream text;
  text << file.rdbuf();
  const auto keys = desktopEntryKeys(text.str());
  const auto value = [&keys](const std::string& key) {
    const auto found = keys.find(key);
    return found == keys.end() ? std::string() : found->second;
  };
  const bool ours = value("Type") == "Application" && value("Hidden") != "true" &&
                    value("X-GNOME-Autostart-enabled") != "false" &&
                    programOfExecValue(value("Exec")) == program_.string();
  return ours ? LoginItemStatus::enabled : LoginItemStatus::notRegistered;
}

void XdgAutostartEntry::registerItem() const {
  const auto path = filePath();
  if (!path) fail(LoginItemError::Kind::noConfigFolder, ENOENT, fileName, "no configuration folder for");
  if (int error = makeFolders(*folder_, kFolderMode)) {
    fail(LoginItemError::Kind::folderUnavailable, error, *folder_, "cannot create");
  }

  std::string temporary = (*folder_ / (std::string(".") + fileName + ".XXXXXX")).string();
  const int fd = ::mkostemp(temporary.data(), O_CLOEXEC);
  if (fd < 0) fail(LoginItemError::Kind::writeFailed, errno, *path, "cannot write");
  int error = ::fchmod(fd, kFileMode) != 0 ? errno : writeAll(fd, entryText());
  if (error == 0 && ::fsync(fd) != 0) error = errno;
  if (::close(fd) != 0 && error == 0) error = errno;
  if (error == 0 && ::rename(temporary.c_str(), path->c_str()) != 0) error = errno;
  if (error != 0) {
    ::unlink(temporary.c_str());
    fail(LoginItemError::Kind::writeFailed, error, *path, "cannot write");
  }
  syncFolder(*folder_);
}

void XdgAutostartEntry::unregisterItem() const {
  const auto path = filePath();
  if (!path) return;
  if (::unlink(path->c_str()) != 0) {
    if (errno == ENOENT || errno == ENOTDIR) return;
    fail(LoginItemError::Kind::removeFailed, errno, *path, "cannot remove");
  }
  syncFolder(*folder_);
}

}  // namespace veltrano::platform
