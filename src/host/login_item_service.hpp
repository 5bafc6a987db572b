#pragma once
// The system's registration of the host as a program to start at login. Main thread.
#include "platform/loginitem/login_item_status.hpp"

namespace veltrano {

using LoginItemStatus = platform::LoginItemStatus;

class LoginItemService {
 public:
  virtual ~LoginItemService() = default;

  virtual LoginItemStatus status() = 0;
  // Both throw std::exception whose what() is the failure's localized description.
  virtual void registerItem() = 0;
  virtual void unregisterItem() = 0;
  // Shows the place where the user approves login items.
  virtual void openLoginItemsSettings() = 0;
};

}  // namespace veltrano
