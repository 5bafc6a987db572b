#pragma once
// Why a start of the host failed: the stage, the reason word reported to product analytics, and the localized
// description (what()) shown as the last error.
#include <cstdint>
#include <exception>
#include <stdexcept>
#include <string>
#include <string_view>

namespace veltrano {

class ServerStartupError : public std::runtime_error {
 public:
  enum class Kind { accountKey, screenCapture, control, audio, file, bonjour, video, noDisplays };

  static ServerStartupError accountKey(const std::exception_ptr& error);
  static ServerStartupError screenCapture(const std::exception_ptr& error);
  static ServerStartupError control(const std::exception_ptr& error);
  static ServerStartupError audio(const std::exception_ptr& error);
  static ServerStartupError file(const std::exception_ptr& error);
  static ServerStartupError bonjour(const std::exception_ptr& error);
  static ServerStartupError video(std::uint16_t port, const std::exception_ptr& error);
  static ServerStartupError noDisplays();

  Kind kind() const { return kind_; }
  std::string_view reasonWord() const;
  // The localized description; the same as what().
  std::string errorDescription() const { return what(); }

 private:
  ServerStartupError(Kind kind, const std::string& description) : std::runtime_error(description), kind_(kind) {}
  Kind kind_;
};

// The localized description of an error ("what()" of a standard exception).
std::string localizedDescription(const std::exception_ptr& error);

// The log text of a failed start: "server startup: " and the description.
std::string startupErrorText(const ServerStartupError& error);

}  // namespace veltrano
