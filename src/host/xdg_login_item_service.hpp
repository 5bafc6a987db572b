#pragma once
// LoginItemService over an XDG autostart entry that starts the running executable.
#include <memory>

#include "host/login_item_service.hpp"
#include "platform/loginitem/xdg_autostart_entry.hpp"

namespace veltrano {

class XdgLoginItemService final : public LoginItemService {
 public:
  explicit XdgLoginItemService(platform::XdgAutostartEntry entry);

  // The entry in the default autostart folder, starting the running executable.
  static std::unique_ptr<XdgLoginItemService> forRunningExecutable();

  LoginItemStatus status() override;
  void registerItem() override;
  void unregisterItem() override;
  // Linux has no settings page for approving login items (and never asks for approval): logs and returns.
  void openLoginItemsSettings() override;

 private:
  platform::XdgAutostartEntry entry_;
};

}  // namespace veltrano
