#pragma once
// The two system permissions the host needs: Accessibility (posting input events) and Screen Recording.
#include <functional>
#include <string>
#include <string_view>

namespace veltrano {

// What the host view model checks and requests. Main thread.
class PermissionManaging {
 public:
  virtual ~PermissionManaging() = default;
  virtual bool isAccessibilityTrusted() = 0;
  virtual bool preflightPostEventAccess() = 0;
  virtual bool preflightScreenCaptureAccess() = 0;  // cheap: the host polls it
  virtual bool ensureAccessibilityAccess() = 0;
  virtual bool ensureScreenRecordingAccess() = 0;
};

// The checks behind PermissionManager, each replaceable. An empty check answers false.
struct PermissionChecks {
  std::function<bool()> preflightPostEventAccess;
  std::function<bool()> isAccessibilityTrusted;
  std::function<bool()> requestAccessibilityTrust;  // may prompt; answers whether access is present
  std::function<bool()> preflightScreenCaptureAccess;
  std::function<bool()> requestScreenCaptureAccess;  // may prompt; answers whether access is present
};

// The checks of this system (X11): event posting = XTEST present; screen capture = the display opens and its root
// window can be read. Requests are the same checks: nothing can be granted from here.
PermissionChecks defaultPermissionChecks();

class PermissionManager final : public PermissionManaging {
 public:
  static constexpr std::string_view settingsScheme = "x-apple.systempreferences:";
  static constexpr std::string_view accessibilityAnchor = "com.apple.preference.security?Privacy_Accessibility";
  static constexpr std::string_view screenCaptureAnchor = "com.apple.preference.security?Privacy_ScreenCapture";
  static constexpr std::string_view securityPaneAnchor = "com.apple.preference.security";

  using UrlOpener = std::function<void(const std::string& url)>;

  PermissionManager();  // default checks; creating it touches nothing
  explicit PermissionManager(PermissionChecks checks);

  PermissionChecks checks;

  bool isAccessibilityTrusted() override;
  bool preflightPostEventAccess() override;
  bool preflightScreenCaptureAccess() override;
  bool ensureAccessibilityAccess() override;
  bool ensureScreenRecordingAccess() override;

  // Opens settingsScheme + anchor; when that is not a well-formed address, the security pane; when neither is,
  // nothing. Reports no failure.
  static void openPrivacySettings(std::string_view anchor);

  // The process's URL opener (the app installs one). The default logs PERMISSION
  // "Privacy settings unavailable on this platform: <url>". Returns the replaced opener. Thread-safe.
  static UrlOpener setUrlOpener(UrlOpener opener);
  static UrlOpener defaultUrlOpener();

 private:
  bool checkAccessibilityLogged();
};

}  // namespace veltrano
