#include "filetransfer/partial_files_in_progress.hpp"

#include <unistd.h>

#include <mutex>
#include <set>
#include <string>

namespace veltrano {
namespace {

struct Remembered {
  std::mutex mutex;
  std::multiset<std::string> paths;
};

// Never destroyed: the removal runs while the process ends, after static destructors may have begun.
Remembered& remembered() {
  static auto* list = new Remembered;
  return *list;
}

}  // namespace

void rememberPartialFileInProgress(const std::filesystem::path& path) {
  auto& list = remembered();
  std::lock_guard lock(list.mutex);
  list.paths.insert(path.string());
}

void forgetPartialFileInProgress(const std::filesystem::path& path) {
  auto& list = remembered();
  std::lock_guard lock(list.mutex);
  if (auto found = list.paths.find(path.string()); found != list.paths.end()) list.paths.erase(found);
}

void removePartialFilesInProgress() noexcept {
  auto& list = remembered();
  std::lock_guard lock(list.mutex);
  for (const auto& path : list.paths) ::unlink(path.c_str());
  list.paths.clear();
}

}  // namespace veltrano
