#pragma once
// The host's login item as an XDG autostart entry: "<folder>/veltrano-host.desktop", where the folder is
// $XDG_CONFIG_HOME/autostart (default ~/.config/autostart). The session starts the entry's program at login.
#include <filesystem>
#include <optional>
#include <string>

#include "platform/loginitem/login_item_error.hpp"
#include "platform/loginitem/login_item_status.hpp"

namespace veltrano::platform {

class XdgAutostartEntry {
 public:
  static constexpr const char* fileName = "veltrano-host.desktop";

  // `folder` nullopt: there is nowhere to keep an entry (status notFound). `program` is the absolute path the
  // entry starts; `name` is the entry's shown name.
  XdgAutostartEntry(std::optional<std::filesystem::path> folder, std::filesystem::path program, std::string name);

  // $XDG_CONFIG_HOME/autostart when XDG_CONFIG_HOME is absolute, else ~/.config/autostart; nullopt without a home.
  static std::optional<std::filesystem::path> defaultFolder();

  const std::optional<std::filesystem::path>& folder() const { return folder_; }
  std::optional<std::filesystem::path> filePath() const;

  // enabled when the entry is an application entry, neither hidden nor disabled, whose program is ours;
  // notRegistered for any other entry or none; notFound without a folder. Never fails.
  LoginItemStatus status() const;

  // Writes the entry (creating the folder, 0700, when missing). The file appears whole or not at all.
  // Throws LoginItemError.
  void registerItem() const;

  // Removes the entry; no entry is no error. Throws LoginItemError.
  void unregisterItem() const;

  // The entry's text as registerItem writes it.
  std::string entryText() const;

 private:
  std::optional<std::filesystem::path> folder_;
  std::filesystem::path program_;
  std::string name_;
};

}  // namespace veltrano::platform
