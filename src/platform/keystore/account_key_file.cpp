#include "platform/keystore/account_key_file.hpp"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "base/encoding.hpp"
#include "platform/crypto/random.hpp"
#include "platform/keystore/unique_fd.hpp"
#include "platform/xdg/user_folders.hpp"

namespace veltrano::platform {

namespace {

constexpr mode_t kFolderMode = 0700;
constexpr mode_t kFileMode = 0600;
// A seed is 43 characters; anything much longer is not a key file.
constexpr std::size_t kMaximumFileSize = 1024;
constexpr int kCreateAttempts = 8;

[[noreturn]] void throwStorage(int error, const std::string& what) {
  throw KeyFileError(KeyFileError::Kind::storage, error, what + ": " + std::strerror(error));
}

[[noreturn]] void throwMalformed(const std::filesystem::path& path) {
  throw KeyFileError(KeyFileError::Kind::malformed, 0, "account key file " + path.string() + " is malformed");
}

// Opens the folder; invalid fd with errno ENOENT when it does not exist.
UniqueFd openFolder(const std::filesystem::path& folder) {
  return UniqueFd(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
}

// Creates the folder and any missing parents, each private to the user.
UniqueFd ensureFolder(const std::filesystem::path& folder) {
  UniqueFd fd = openFolder(folder);
  if (!fd && errno == ENOENT) {
    if (int error = makeFolders(folder, kFolderMode)) throwStorage(error, "cannot create " + folder.string());
    fd = openFolder(folder);
  }
  if (!fd) throwStorage(errno, "cannot open " + folder.string());
  struct ::stat info {};
  if (::fstat(fd.get(), &info) != 0) throwStorage(errno, "cannot inspect " + folder.string());
  // Our own folder may have been made by something with a loose umask: keep it private.
  if ((info.st_mode & 077) != 0 && info.st_uid == ::geteuid()) ::fchmod(fd.get(), kFolderMode);
  return fd;
}

std::string describe(const std::filesystem::path& folder) { return (folder / AccountKeyFile::fileName).string(); }

// nullopt when the file does not exist.
std::optional<AccountKeyFile::Contents> readAt(int folderFd, const std::filesystem::path& folder) {
  UniqueFd fd(::openat(folderFd, AccountKeyFile::fileName, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  if (!fd) {
    if (errno == ENOENT) return std::nullopt;
    if (errno == ELOOP) throwStorage(errno, describe(folder) + " is a symbolic link");
    throwStorage(errno, "cannot open " + describe(folder));
  }
  struct ::stat info {};
  if (::fstat(fd.get(), &info) != 0) throwStorage(errno, "cannot inspect " + describe(folder));
  if (!S_ISREG(info.st_mode)) throwStorage(EINVAL, describe(folder) + " is not a regular file");
  if ((info.st_mode & 077) != 0 && info.st_uid == ::geteuid()) ::fchmod(fd.get(), kFileMode);

  SecureBytes text(kMaximumFileSize + 1);
  std::size_t length = 0;
  while (length < text.size()) {
    const ssize_t got = ::read(fd.get(), text.data() + length, text.size() - length);
    if (got < 0) {
      if (errno == EINTR) continue;
      throwStorage(errno, "cannot read " + describe(folder));
    }
    if (got == 0) break;
    length += static_cast<std::size_t>(got);
  }
  if (length > kMaximumFileSize) throwMalformed(folder / AccountKeyFile::fileName);
  while (length > 0 && (text.data()[length - 1] == '\n' || text.data()[length - 1] == '\r')) --length;

  auto decoded = base64urlDecode(std::string_view(reinterpret_cast<const char*>(text.data()), length));
  if (!decoded || decoded->size() != AccountKeyFile::seedSize) {
    if (decoded) cleanse(*decoded);
    throwMalformed(folder / AccountKeyFile::fileName);
  }
  AccountKeyFile::Contents contents{SecureBytes(*decoded), KeyFileStamp::of(info)};
  cleanse(*decoded);
  return contents;
}

// 0 or the errno of the failing step.
int writeAll(int fd, ByteView bytes) {
  while (!bytes.empty()) {
    const ssize_t put = ::write(fd, bytes.data(), bytes.size());
    if (put < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    bytes = bytes.subspan(static_cast<std::size_t>(put));
  }
  return 0;
}

// Fills the temporary file, makes it durable and links it under the final name.
// 0 or the errno of the failing step (EEXIST: another creator's file is already there).
int storeAndLink(int folderFd, int fd, const char* temporary, ByteView text) {
  if (::fchmod(fd, kFileMode) != 0) return errno;
  if (int error = writeAll(fd, text)) return error;
  if (::fsync(fd) != 0) return errno;
  if (::linkat(folderFd, temporary, folderFd, AccountKeyFile::fileName, 0) != 0) return errno;
  return 0;
}

// Writes the seed to a fresh temporary file and links it into place. False when another
// creator's file was there first.
bool createAt(int folderFd, const std::filesystem::path& folder, const SecureBytes& seed) {
  const std::string temporary = std::string(".") + AccountKeyFile::fileName + "." + hexEncode(randomBytes(8)) + ".tmp";
  UniqueFd fd(::openat(folderFd, temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, kFileMode));
  if (!fd) throwStorage(errno, "cannot create a key file in " + folder.string());

  std::string text = base64urlEncode(seed.view()) + "\n";
  const int error = storeAndLink(folderFd, fd.get(), temporary.c_str(), asBytes(text));
  cleanse({reinterpret_cast<std::uint8_t*>(text.data()), text.size()});
  ::unlinkat(folderFd, temporary.c_str(), 0);
  if (error == EEXIST) return false;
  if (error != 0) throwStorage(error, "cannot store " + describe(folder));
  ::fsync(folderFd);
  return true;
}

}  // namespace

AccountKeyFile::AccountKeyFile(std::filesystem::path folder) : folder_(std::move(folder)) {}

std::filesystem::path AccountKeyFile::defaultFolder() {
  auto data = xdgBaseFolder("XDG_DATA_HOME", std::filesystem::path(".local") / "share");
  if (!data) throw KeyFileError(KeyFileError::Kind::storage, ENOENT, "no home folder for the account key");
  return *data / "veltrano";
}

std::optional<KeyFileStamp> AccountKeyFile::stamp() const {
  struct ::stat info {};
  if (::lstat(filePath().c_str(), &info) != 0) {
    if (errno == ENOENT || errno == ENOTDIR) return std::nullopt;
    throwStorage(errno, "cannot inspect " + filePath().string());
  }
  return KeyFileStamp::of(info);
}

std::optional<AccountKeyFile::Contents> AccountKeyFile::read() const {
  UniqueFd folderFd = openFolder(folder_);
  if (!folderFd) {
    if (errno == ENOENT) return std::nullopt;
    throwStorage(errno, "cannot open " + folder_.string());
  }
  return readAt(folderFd.get(), folder_);
}

AccountKeyFile::Contents AccountKeyFile::readOrCreate(const std::function<SecureBytes()>& makeSeed) const {
  UniqueFd folderFd = ensureFolder(folder_);
  for (int attempt = 0; attempt < kCreateAttempts; ++attempt) {
    if (auto existing = readAt(folderFd.get(), folder_)) return std::move(*existing);
    SecureBytes seed = makeSeed();
    if (seed.size() != seedSize) throw std::invalid_argument("account key seed must be 32 bytes");
    if (createAt(folderFd.get(), folder_, seed)) {
      // Read back what was linked, so the stamp describes the file as it now stands.
      if (auto stored = readAt(folderFd.get(), folder_)) return std::move(*stored);
    }
    // Someone else's file won the race (or vanished again at once): read it on the next turn.
  }
  throwStorage(EAGAIN, "the account key file keeps changing in " + folder_.string());
}

}  // namespace veltrano::platform
