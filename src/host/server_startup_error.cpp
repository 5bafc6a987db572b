#include "host/server_startup_error.hpp"

#include "core/localization.hpp"
#include "host/host_localized_strings.hpp"

namespace veltrano {
namespace {

std::string describe(std::string_view key, const std::exception_ptr& error) {
  registerHostLocalizedStrings();
  return localizedFormat(key, localizedDescription(error));
}

}  // namespace

std::string localizedDescription(const std::exception_ptr& error) {
  if (!error) return {};
  try {
    std::rethrow_exception(error);
  } catch (const std::exception& e) {
    return e.what();
  } catch (...) {
    return "unknown error";
  }
}

ServerStartupError ServerStartupError::accountKey(const std::exception_ptr& error) {
  return {Kind::accountKey, describe("host.error.account_key_format", error)};
}
ServerStartupError ServerStartupError::screenCapture(const std::exception_ptr& error) {
  return {Kind::screenCapture, describe("host.error.screen_capture_format", error)};
}
ServerStartupError ServerStartupError::control(const std::exception_ptr& error) {
  return {Kind::control, describe("host.error.server_format", error)};
}
ServerStartupError ServerStartupError::audio(const std::exception_ptr& error) {
  return {Kind::audio, describe("host.error.audio_server_format", error)};
}
ServerStartupError ServerStartupError::file(const std::exception_ptr& error) {
  return {Kind::file, describe("host.error.server_format", error)};
}
ServerStartupError ServerStartupError::bonjour(const std::exception_ptr& error) {
  return {Kind::bonjour, describe("host.error.bonjour_format", error)};
}
ServerStartupError ServerStartupError::video(std::uint16_t port, const std::exception_ptr& error) {
  registerHostLocalizedStrings();
  return {Kind::video, localizedFormat("host.error.video_server_format", static_cast<std::int64_t>(port),
                                       localizedDescription(error))};
}
ServerStartupError ServerStartupError::noDisplays() {
  registerHostLocalizedStrings();
  return {Kind::noDisplays, localized("host.error.no_displays")};
}

std::string_view ServerStartupError::reasonWord() const {
  switch (kind_) {
    case Kind::accountKey:
      return "account_key";
    case Kind::screenCapture:
      return "screen_capture";
    case Kind::control:
      return "control_server";
    case Kind::audio:
      return "audio_server";
    case Kind::file:
      return "file_server";
    case Kind::bonjour:
      return "bonjour";
    case Kind::video:
      return "video_server";
    case Kind::noDisplays:
      return "no_displays";
  }
  return "control_server";
}

std::string startupErrorText(const ServerStartupError& error) { return "server startup: " + error.errorDescription(); }

}  // namespace veltrano
