#include <gtest/gtest.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "platform/loginitem/desktop_entry_text.hpp"
#include "platform/loginitem/install_location.hpp"
#include "platform/loginitem/xdg_autostart_entry.hpp"
#include "support/read_only_folder.hpp"
#include "support/required_service.hpp"
#include "support/scoped_environment.hpp"
#include "support/temporary_folder.hpp"

namespace veltrano::platform {
namespace {

namespace fs = std::filesystem;
using testing::ReadOnlyFolder;
using testing::TemporaryFolder;
using testing::readText;
using testing::writeText;

constexpr const char* kValidator = "/usr/bin/desktop-file-validate";

// The validator's complaints about `file` (empty when it has none).
std::string validatorComplaints(const fs::path& file) {
  const std::string command = std::string(kValidator) + " '" + file.string() + "' 2>&1";
  std::string output;
  if (FILE* pipe = ::popen(command.c_str(), "r")) {
    std::array<char, 512> chunk{};
    while (std::fgets(chunk.data(), chunk.size(), pipe) != nullptr) output += chunk.data();
    if (::pclose(pipe) != 0 && output.empty()) output = "desktop-file-validate failed";
  }
  return output;
}

std::optional<std::string> validatorMissing() {
  if (fs::exists(kValidator)) return std::nullopt;
  return std::string("desktop-file-validate is not installed (scripts/setup installs it)");
}

class XdgAutostartEntryTest : public ::testing::Test {
 protected:
  TemporaryFolder temp_;
  fs::path folder_ = temp_.path() / "config" / "autostart";
  fs::path program_ = "/opt/veltrano/bin/veltrano-host";

  XdgAutostartEntry entryFor(const fs::path& program) const { return XdgAutostartEntry(folder_, program, "Veltrano"); }
};

// Paths with every character the Exec rules treat specially survive the round trip and stay valid.
TEST_F(XdgAutostartEntryTest, RegistersAValidEntryThatReadsBackAsEnabledAndUnregisters) {
  VELTRANO_REQUIRE_SERVICE("desktop-file-validate", validatorMissing());
  for (const std::string program : {"/opt/veltrano/bin/veltrano-host", "/home/a b/.local/bin/veltrano host",
                                    "/tmp/100% \"q\" `t` $HOME \\x 'y' ;&|<>*?#()~/veltrano"}) {
    SCOPED_TRACE(program);
    const XdgAutostartEntry entry = entryFor(program);
    EXPECT_EQ(entry.status(), LoginItemStatus::notRegistered);
    entry.registerItem();
    const fs::path file = folder_ / XdgAutostartEntry::fileName;
    EXPECT_EQ(readText(file), entry.entryText());
    EXPECT_EQ(validatorComplaints(file), "");
    EXPECT_EQ(programOfExecValue(desktopEntryKeys(readText(file))["Exec"]), program);
    EXPECT_EQ(entry.status(), LoginItemStatus::enabled);
    EXPECT_EQ(fs::status(folder_).permissions() & fs::perms::all, fs::perms::owner_all);
    EXPECT_EQ(std::distance(fs::directory_iterator(folder_), fs::directory_iterator{}), 1) << "no temporary left";

    entry.registerItem();  // again: replaced whole, still ours
    EXPECT_EQ(entry.status(), LoginItemStatus::enabled);
    entry.unregisterItem();
    EXPECT_FALSE(fs::exists(file));
    EXPECT_EQ(entry.status(), LoginItemStatus::notRegistered);
    entry.unregisterItem();  // nothing to remove is no error
  }
}

TEST_F(XdgAutostartEntryTest, OnlyAnEnabledApplicationEntryForOurProgramIsEnabled) {
  const std::string ours = "Exec=\"/opt/veltrano/bin/veltrano-host\"\n";
  const struct {
    std::string text;
    LoginItemStatus status;
  } cases[] = {
      {"[Desktop Entry]\nType=Application\nName=V\n" + ours, LoginItemStatus::enabled},
      {"# by hand\n[Desktop Entry]\nType = Application\nExec=/opt/veltrano/bin/veltrano-host --hidden\n",
       LoginItemStatus::enabled},
      {"[Desktop Entry]\nType=Application\nHidden=true\n" + ours, LoginItemStatus::notRegistered},
      {"[Desktop Entry]\nType=Application\nX-GNOME-Autostart-enabled=false\n" + ours, LoginItemStatus::notRegistered},
      {"[Desktop Entry]\nType=Link\n" + ours, LoginItemStatus::notRegistered},
      {"[Desktop Entry]\nType=Application\nExec=\"/usr/bin/veltrano-host\"\n", LoginItemStatus::notRegistered},
      {"[Desktop Entry]\nType=Application\nExec=\"/opt/veltrano/bin/veltrano-host\n", LoginItemStatus::notRegistered},
      {"[Other]\nType=Application\n" + ours, LoginItemStatus::notRegistered},
  };
  fs::create_directories(folder_);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    writeText(folder_ / XdgAutostartEntry::fileName, c.text);
    EXPECT_EQ(entryFor(program_).status(), c.status);
  }
}

TEST_F(XdgAutostartEntryTest, WithoutAConfigurationFolderTheStatusIsNotFound) {
  const XdgAutostartEntry entry(std::nullopt, program_, "Veltrano");
  EXPECT_EQ(entry.status(), LoginItemStatus::notFound);
  try {
    entry.registerItem();
    ADD_FAILURE() << "registered without a folder";
  } catch (const LoginItemError& error) {
    EXPECT_EQ(error.kind(), LoginItemError::Kind::noConfigFolder);
  }
  EXPECT_NO_THROW(entry.unregisterItem());
}

// The kind of failure registerItem (or unregisterItem) reports.
std::optional<LoginItemError::Kind> failureOf(void (XdgAutostartEntry::*change)() const, const XdgAutostartEntry& e) {
  try {
    (e.*change)();
  } catch (const LoginItemError& error) {
    EXPECT_NE(error.errorNumber(), 0);
    return error.kind();
  }
  return std::nullopt;
}

TEST_F(XdgAutostartEntryTest, AFolderThatCannotBeWrittenOrMadeIsAnError) {
  writeText(temp_.path() / "config", "a file where the folder belongs");
  EXPECT_EQ(failureOf(&XdgAutostartEntry::registerItem, entryFor(program_)), LoginItemError::Kind::folderUnavailable);
  EXPECT_EQ(entryFor(program_).status(), LoginItemStatus::notRegistered);
  fs::remove(temp_.path() / "config");

  entryFor(program_).registerItem();
  const ReadOnlyFolder readOnly(folder_);
  VELTRANO_REQUIRE_SERVICE("a read-only folder", readOnly.problem());
  EXPECT_EQ(failureOf(&XdgAutostartEntry::registerItem, entryFor("/other/veltrano-host")),
            LoginItemError::Kind::writeFailed);
  EXPECT_EQ(failureOf(&XdgAutostartEntry::unregisterItem, entryFor(program_)), LoginItemError::Kind::removeFailed);
  EXPECT_EQ(entryFor(program_).status(), LoginItemStatus::enabled) << "the old entry is untouched";
}

TEST(XdgAutostartEntryFolder, FollowsXdgConfigHome) {
  testing::ScopedEnvironment environment("HOME", "/home/someone");
  const char* const fallback = "/home/someone/.config/autostart";
  for (const auto& [configHome, folder] : {std::pair<const char*, const char*>{"/cfg", "/cfg/autostart"},
                                           {"relative/cfg", fallback}, {nullptr, fallback}}) {
    environment.set("XDG_CONFIG_HOME", configHome);
    EXPECT_EQ(XdgAutostartEntry::defaultFolder(), fs::path(folder)) << (configHome ? configHome : "(unset)");
  }
}

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
