#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "platform/loginitem/install_location.hpp"
#include "support/temporary_folder.hpp"

namespace veltrano::platform {
namespace {

namespace fs = std::filesystem;
using testing::TemporaryFolder;
using testing::writeText;

TEST(InstallLocation, AProgramCountsAsInstalledOnlyInsideACandidateFolder) {
  TemporaryFolder temp;
  const fs::path root = temp.path();
  for (const char* folder : {"prefix/bin/tools", "prefix/bin2", "home/.local/bin", "downloads"}) {
    fs::create_directories(root / folder);
  }
  for (const char* program : {"prefix/bin/host", "prefix/bin/tools/host", "prefix/bin2/host", "home/.local/bin/host",
                              "downloads/host"}) {
    writeText(root / program, "#!/bin/sh\n");
  }
  fs::create_symlink(root / "prefix/bin/host", root / "downloads/link-to-installed");
  fs::create_symlink(root / "downloads/host", root / "prefix/bin/link-to-download");
  fs::create_symlink(root / "prefix/bin", root / "linked-bin");

  const std::vector<fs::path> candidates = {root / "prefix/bin", root / "home/.local/bin"};
  const struct {
    const char* program;
    std::vector<fs::path> candidates;
    bool installed;
  } cases[] = {
      {"prefix/bin/host", candidates, true},
      {"prefix/bin/tools/host", candidates, true},
      {"home/.local/bin/host", candidates, true},
      {"prefix/bin", candidates, true},
      {"prefix/bin2/host", candidates, false},  // a sibling that merely begins the same way
      {"downloads/host", candidates, false},
      {"downloads/link-to-installed", candidates, true},  // links are resolved first
      {"prefix/bin/link-to-download", candidates, false},
      {"prefix/bin/host", {root / "linked-bin"}, true},
      {"prefix/bin/host", {root / "missing", root / "home/.local/bin"}, false},
      {"prefix/bin/absent", candidates, false},
      {"prefix/bin/host", {}, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.program);
    EXPECT_EQ(isInstalledUnder(root / c.program, c.candidates), c.installed);
  }
}

TEST(InstallLocation, TheRunningTestIsNoInstalledCopy) {
  const auto executable = runningExecutable();
  ASSERT_TRUE(executable);
  EXPECT_TRUE(fs::equivalent(*executable, "/proc/self/exe"));
  EXPECT_TRUE(executable->is_absolute());
  EXPECT_FALSE(fs::is_symlink(*executable));
  EXPECT_FALSE(isRunningInstalledCopy()) << *executable << " lies in the build tree";
  EXPECT_TRUE(isInstalledUnder(*executable, {executable->parent_path()}));
}

}  // namespace
}  // namespace veltrano::platform
