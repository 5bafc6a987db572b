#include "core/permission_manager.hpp"

#include "core/app_logger.hpp"
#include "core/url_text.hpp"

#include <mutex>

namespace veltrano {

namespace {

bool ask(const std::function<bool()>& check) {
  if (!check) return false;
  try {
    return check();
  } catch (...) {
    return false;
  }
}

std::string_view statusText(bool granted) { return granted ? "granted" : "missing"; }

struct OpenerSlot {
  std::mutex mutex;
  PermissionManager::UrlOpener opener = PermissionManager::defaultUrlOpener();
};

OpenerSlot& openerSlot() {
  static OpenerSlot slot;
  return slot;
}

void openUrl(const std::string& url) {
  PermissionManager::UrlOpener opener;
  {
    auto& slot = openerSlot();
    std::lock_guard lock(slot.mutex);
    opener = slot.opener;
  }
  if (!opener) return;
  try {
    opener(url);
  } catch (...) {
    // Opening settings reports no failure.
  }
}

}  // namespace

PermissionManager::PermissionManager() : PermissionManager(defaultPermissionChecks()) {}

PermissionManager::PermissionManager(PermissionChecks checksIn) : checks(std::move(checksIn)) {}

bool PermissionManager::isAccessibilityTrusted() { return ask(checks.isAccessibilityTrusted); }
bool PermissionManager::preflightPostEventAccess() { return ask(checks.preflightPostEventAccess); }
bool PermissionManager::preflightScreenCaptureAccess() { return ask(checks.preflightScreenCaptureAccess); }

bool PermissionManager::checkAccessibilityLogged() {
  if (isAccessibilityTrusted()) {
    log(LogCategory::PERMISSION, "Accessibility: granted");
    return true;
  }
  bool canPost = preflightPostEventAccess();
  log(LogCategory::PERMISSION, std::string("Accessibility: ").append(statusText(canPost)));
  return canPost;
}

bool PermissionManager::ensureAccessibilityAccess() {
  if (checkAccessibilityLogged()) return true;
  log(LogCategory::PERMISSION, "Requesting Accessibility (system prompt)");
  if (ask(checks.requestAccessibilityTrust)) return true;
  if (!checkAccessibilityLogged()) openPrivacySettings(accessibilityAnchor);
  return isAccessibilityTrusted() || preflightPostEventAccess();
}

bool PermissionManager::ensureScreenRecordingAccess() {
  bool granted = preflightScreenCaptureAccess();
  log(LogCategory::PERMISSION, std::string("Screen Recording: ").append(statusText(granted)));
  if (granted) return true;
  log(LogCategory::PERMISSION, "Requesting Screen Recording (system prompt)");
  if (ask(checks.requestScreenCaptureAccess)) return true;
  openPrivacySettings(screenCaptureAnchor);
  return false;
}

void PermissionManager::openPrivacySettings(std::string_view anchor) {
  std::string url = std::string(settingsScheme).append(anchor);
  if (isWellFormedUrl(url)) {
    openUrl(url);
    return;
  }
  std::string fallback = std::string(settingsScheme).append(securityPaneAnchor);
  if (isWellFormedUrl(fallback)) openUrl(fallback);
}

PermissionManager::UrlOpener PermissionManager::setUrlOpener(UrlOpener opener) {
  auto& slot = openerSlot();
  std::lock_guard lock(slot.mutex);
  std::swap(slot.opener, opener);
  return opener;
}

PermissionManager::UrlOpener PermissionManager::defaultUrlOpener() {
  return [](const std::string& url) {
    log(LogCategory::PERMISSION, "Privacy settings unavailable on this platform: " + url);
  };
}

}  // namespace veltrano
