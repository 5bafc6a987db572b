#include "host/xdg_login_item_service.hpp"

#include <stdexcept>
#include <system_error>

#include "base/thread_checks.hpp"
#include "core/app_logger.hpp"
#include "core/localization.hpp"
#include "host/launch_at_login_localized_strings.hpp"
#include "platform/loginitem/install_location.hpp"

namespace veltrano {

namespace {

std::string localizedDescription(const platform::LoginItemError& error) {
  registerLaunchAtLoginLocalizedStrings();
  const std::string path = error.path().string();
  const std::string reason = std::generic_category().message(error.errorNumber());
  switch (error.kind()) {
    case platform::LoginItemError::Kind::noConfigFolder:
      return localized("host.error.login_item.no_config_folder");
    case platform::LoginItemError::Kind::folderUnavailable:
      return localizedFormat("host.error.login_item.folder_format", path, reason);
    case platform::LoginItemError::Kind::writeFailed:
      return localizedFormat("host.error.login_item.write_format", path, reason);
    case platform::LoginItemError::Kind::removeFailed:
      return localizedFormat("host.error.login_item.remove_format", path, reason);
  }
  return error.what();
}

template <class Change>
void changeEntry(Change&& change) {
  try {
    change();
  } catch (const platform::LoginItemError& error) {
    throw std::runtime_error(localizedDescription(error));
  }
}

}  // namespace

XdgLoginItemService::XdgLoginItemService(platform::XdgAutostartEntry entry) : entry_(std::move(entry)) {}

std::unique_ptr<XdgLoginItemService> XdgLoginItemService::forRunningExecutable() {
  // An unreadable executable fails the install check, so enabling never writes this stand-in.
  auto program = platform::runningExecutable().value_or("/proc/self/exe");
  return std::make_unique<XdgLoginItemService>(platform::XdgAutostartEntry(
      platform::XdgAutostartEntry::defaultFolder(), std::move(program), localized("common.product_name")));
}

LoginItemStatus XdgLoginItemService::status() {
  assertOnMainThread();
  return entry_.status();
}

void XdgLoginItemService::registerItem() {
  assertOnMainThread();
  changeEntry([this] { entry_.registerItem(); });
}

void XdgLoginItemService::unregisterItem() {
  assertOnMainThread();
  changeEntry([this] { entry_.unregisterItem(); });
}

void XdgLoginItemService::openLoginItemsSettings() {
  assertOnMainThread();
  log(LogCategory::HOST, "Login Items settings unavailable on this platform");
}

}  // namespace veltrano
