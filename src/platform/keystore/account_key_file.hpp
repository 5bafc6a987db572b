#pragma once
// The account key on disk: one file "account-signing-key" in a private folder, holding the base64url
// text of the 32-byte Ed25519 seed and a line feed. Readers accept the text with or without the
// line feed. A file that does not parse is an error and is never replaced.
#include <filesystem>
#include <functional>
#include <optional>

#include "platform/crypto/secure_bytes.hpp"
#include "platform/keystore/key_file_error.hpp"
#include "platform/keystore/key_file_stamp.hpp"

namespace veltrano::platform {

class AccountKeyFile {
 public:
  static constexpr const char* fileName = "account-signing-key";
  static constexpr std::size_t seedSize = 32;

  struct Contents {
    SecureBytes seed;
    KeyFileStamp stamp;
  };

  explicit AccountKeyFile(std::filesystem::path folder);

  // $XDG_DATA_HOME/veltrano when XDG_DATA_HOME is an absolute path, else ~/.local/share/veltrano.
  // Throws KeyFileError (storage) when there is no home folder to be found.
  static std::filesystem::path defaultFolder();

  const std::filesystem::path& folder() const { return folder_; }
  std::filesystem::path filePath() const { return folder_ / fileName; }

  // The current file's stamp without reading it; nullopt when there is no file.
  std::optional<KeyFileStamp> stamp() const;

  // nullopt when there is no key file. Throws KeyFileError: storage for I/O faults and for a
  // symbolic link in the file's place, malformed for text that is not a 32-byte seed.
  std::optional<Contents> read() const;

  // Reads the stored key, or stores the seed that `makeSeed` gives when there is none. The file
  // appears whole or not at all, and a concurrent creator is never overwritten: the loser of a
  // race returns the winner's key. Throws KeyFileError as read() does, and storage when the
  // folder or file cannot be created.
  Contents readOrCreate(const std::function<SecureBytes()>& makeSeed) const;

 private:
  std::filesystem::path folder_;
};

}  // namespace veltrano::platform
