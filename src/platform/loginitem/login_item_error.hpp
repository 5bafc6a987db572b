#pragma once
#include <filesystem>
#include <stdexcept>
#include <string>
#include <utility>

namespace veltrano::platform {

// A failed change of the autostart entry. what() is a plain English account for logs; the system's code
// builds the user's text from kind(), path() and errorNumber().
class LoginItemError : public std::runtime_error {
 public:
  enum class Kind {
    noConfigFolder,     // no home or configuration folder to hold the entry
    folderUnavailable,  // the autostart folder is missing and cannot be created
    writeFailed,        // the entry could not be written into the folder
    removeFailed,       // the entry could not be removed
  };

  LoginItemError(Kind kind, int errorNumber, std::filesystem::path path, const std::string& message)
      : std::runtime_error(message), kind_(kind), errorNumber_(errorNumber), path_(std::move(path)) {}

  Kind kind() const { return kind_; }
  int errorNumber() const { return errorNumber_; }
  const std::filesystem::path& path() const { return path_; }

 private:
  Kind kind_;
  int errorNumber_;
  std::filesystem::path path_;
};

}  // namespace veltrano::platform
