#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <set>
#include <thread>
#include <utility>
#include <vector>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "base/encoding.hpp"
#include "platform/crypto/random.hpp"
#include "platform/keystore/account_key_file.hpp"
#include "support/scoped_environment.hpp"
#include "support/temporary_folder.hpp"

namespace veltrano::platform {
namespace {

namespace fs = std::filesystem;
using testing::TemporaryFolder;
using testing::readText;
using testing::writeText;

mode_t modeOf(const fs::path& path) {
  struct ::stat info {};
  if (::lstat(path.c_str(), &info) != 0) return 0;
  return info.st_mode & 07777;
}

Bytes bytesOf(const SecureBytes& secret) { return Bytes(secret.view().begin(), secret.view().end()); }

std::vector<fs::path> entriesOf(const fs::path& folder) {
  std::vector<fs::path> entries;
  for (const auto& entry : fs::directory_iterator(folder)) entries.push_back(entry.path().filename());
  return entries;
}

KeyFileError::Kind failureKind(const AccountKeyFile& store, int* errorNumber = nullptr) {
  try {
    store.readOrCreate([] { return randomSecret(32); });
  } catch (const KeyFileError& error) {
    if (errorNumber) *errorNumber = error.errorNumber();
    return error.kind();
  }
  ADD_FAILURE() << "readOrCreate did not fail";
  return KeyFileError::Kind::storage;
}

TEST(AccountKeyFile, CreatesAPrivateFileAndReadsItBack) {
  TemporaryFolder temp;
  const fs::path folder = temp.path() / "data" / "veltrano";
  AccountKeyFile store(folder);
  EXPECT_FALSE(store.read());
  EXPECT_FALSE(store.stamp());

  const SecureBytes seed = randomSecret(32);
  const AccountKeyFile::Contents created = store.readOrCreate([&] { return seed; });
  EXPECT_EQ(bytesOf(created.seed), bytesOf(seed));

  EXPECT_EQ(modeOf(folder), 0700u);
  EXPECT_EQ(modeOf(folder.parent_path()), 0700u);
  EXPECT_EQ(modeOf(store.filePath()), 0600u);
  EXPECT_EQ(readText(store.filePath()), base64urlEncode(seed.view()) + "\n");
  EXPECT_EQ(entriesOf(folder), std::vector<fs::path>{AccountKeyFile::fileName}) << "no temporary file is left";

  const auto again = store.read();
  ASSERT_TRUE(again);
  EXPECT_EQ(bytesOf(again->seed), bytesOf(seed));
  EXPECT_EQ(again->stamp, created.stamp);
  EXPECT_EQ(store.stamp(), created.stamp);

  // An existing key is read, never replaced.
  const auto third = store.readOrCreate([] { return randomSecret(32); });
  EXPECT_EQ(bytesOf(third.seed), bytesOf(seed));
}

TEST(AccountKeyFile, AcceptsTextWithoutTheLineFeedAndTightensALooseMode) {
  TemporaryFolder temp;
  AccountKeyFile store(temp.path());
  const Bytes seed = randomBytes(32);
  writeText(store.filePath(), base64urlEncode(seed));
  ::chmod(store.filePath().c_str(), 0644);

  const auto contents = store.read();
  ASSERT_TRUE(contents);
  EXPECT_EQ(bytesOf(contents->seed), seed);
  EXPECT_EQ(modeOf(store.filePath()), 0600u);
}

TEST(AccountKeyFile, MalformedFilesAreErrorsAndStayUntouched) {
  const std::vector<std::string> malformed = {
      "",
      "not base64!\n",
      base64urlEncode(randomBytes(31)) + "\n",
      base64urlEncode(randomBytes(33)) + "\n",
      base64urlEncode(randomBytes(32)) + "\n\nextra",
      " " + base64urlEncode(randomBytes(32)) + "\n",
      std::string(5000, 'A'),
  };
  for (const std::string& text : malformed) {
    TemporaryFolder temp;
    AccountKeyFile store(temp.path());
    writeText(store.filePath(), text);
    const auto before = store.stamp();

    EXPECT_EQ(failureKind(store), KeyFileError::Kind::malformed) << text;
    EXPECT_THROW(store.read(), KeyFileError);
    EXPECT_EQ(readText(store.filePath()), text);
    EXPECT_EQ(store.stamp(), before);
  }
}

TEST(AccountKeyFile, RefusesASymbolicLinkInTheFilesPlace) {
  TemporaryFolder temp;
  const fs::path target = temp.path() / "elsewhere";
  const std::string targetText = base64urlEncode(randomBytes(32)) + "\n";
  writeText(target, targetText);
  AccountKeyFile store(temp.path() / "store");
  fs::create_directories(store.folder());
  fs::create_symlink(target, store.filePath());

  int errorNumber = 0;
  EXPECT_EQ(failureKind(store, &errorNumber), KeyFileError::Kind::storage);
  EXPECT_EQ(errorNumber, ELOOP);
  EXPECT_THROW(store.read(), KeyFileError);
  EXPECT_EQ(readText(target), targetText);
  EXPECT_TRUE(fs::is_symlink(store.filePath()));

  // A dangling link is refused too, rather than followed to create a file elsewhere.
  fs::remove(target);
  EXPECT_EQ(failureKind(store), KeyFileError::Kind::storage);
  EXPECT_FALSE(fs::exists(target));
}

// A file in the folder's place (ENOTDIR) and a replaced key's new stamp: the identity's tests.
TEST(AccountKeyFile, AFolderInTheFilesPlaceIsAStorageFault) {
  TemporaryFolder temp;
  AccountKeyFile directoryInPlace(temp.path() / "d");
  fs::create_directories(directoryInPlace.filePath());
  EXPECT_EQ(failureKind(directoryInPlace), KeyFileError::Kind::storage);
}

TEST(AccountKeyFile, ConcurrentCreatorsInThreadsAgreeOnOneKey) {
  TemporaryFolder temp;
  AccountKeyFile store(temp.path() / "veltrano");
  constexpr int kThreads = 12;
  std::vector<Bytes> seen(kThreads);
  std::atomic<bool> go{false};
  std::vector<std::thread> threads;
  for (int i = 0; i < kThreads; ++i) {
    threads.emplace_back([&, i] {
      while (!go.load()) std::this_thread::yield();
      seen[i] = bytesOf(store.readOrCreate([] { return randomSecret(32); }).seed);
    });
  }
  go = true;
  for (auto& thread : threads) thread.join();

  const std::set<Bytes> distinct(seen.begin(), seen.end());
  ASSERT_EQ(distinct.size(), 1u);
  EXPECT_EQ(readText(store.filePath()), base64urlEncode(*distinct.begin()) + "\n");
  EXPECT_EQ(entriesOf(store.folder()).size(), 1u);
}

TEST(AccountKeyFile, ConcurrentCreatorsInProcessesAgreeOnOneKey) {
  TemporaryFolder temp;
  AccountKeyFile store(temp.path() / "veltrano");
  constexpr int kProcesses = 6;
  std::vector<pid_t> children;
  for (int i = 0; i < kProcesses; ++i) {
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      try {  // each child notes the key it got beside the store
        writeText(temp.path() / std::to_string(i), hexEncode(store.readOrCreate([] { return randomSecret(32); }).seed.view()));
        ::_exit(0);
      } catch (...) {
        ::_exit(1);
      }
    }
    children.push_back(pid);
  }
  std::set<std::string> seeds;
  for (int i = 0; i < kProcesses; ++i) {
    int status = 0;
    ::waitpid(children[static_cast<std::size_t>(i)], &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    seeds.insert(readText(temp.path() / std::to_string(i)));
  }
  ASSERT_EQ(seeds.size(), 1u);
  EXPECT_EQ(hexEncode(bytesOf(store.read()->seed)), *seeds.begin());
}

TEST(AccountKeyFile, DefaultFolderFollowsXdgDataHome) {
  testing::ScopedEnvironment environment("HOME", "/home/someone");
  const char* const fallback = "/home/someone/.local/share/veltrano";
  for (const auto& [dataHome, folder] : {std::pair<const char*, const char*>{"/data/xdg", "/data/xdg/veltrano"},
                                         {"relative/ignored", fallback}, {nullptr, fallback}}) {
    environment.set("XDG_DATA_HOME", dataHome);
    EXPECT_EQ(AccountKeyFile::defaultFolder(), fs::path(folder)) << (dataHome ? dataHome : "(unset)");
  }
}

}  // namespace
}  // namespace veltrano::platform
