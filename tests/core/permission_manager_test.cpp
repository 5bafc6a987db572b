#include "core/log_capture.hpp"
#include "core/permission_manager.hpp"

#include <gtest/gtest.h>

#include <cstdlib>

namespace veltrano {
namespace {

// Scripted answers: each check returns the next value of its script (the last one repeats) and counts its calls.
struct Script {
  std::vector<bool> answers;
  int calls = 0;
  std::function<bool()> check() {
    return [this] {
      bool answer = answers.empty() ? false : answers[std::min<std::size_t>(calls, answers.size() - 1)];
      ++calls;
      return answer;
    };
  }
};

class PermissionFlow : public ::testing::Test {
 protected:
  void SetUp() override {
    previousOpener_ = PermissionManager::setUrlOpener([this](const std::string& url) { opened.push_back(url); });
  }
  void TearDown() override { PermissionManager::setUrlOpener(previousOpener_); }

  PermissionManager makeManager() {
    return PermissionManager(PermissionChecks{postEvent.check(), trusted.check(), requestTrust.check(),
                                              screenPreflight.check(), screenRequest.check()});
  }

  Script postEvent, trusted, requestTrust, screenPreflight, screenRequest;
  std::vector<std::string> opened;
  ScopedLogCapture capture;

 private:
  PermissionManager::UrlOpener previousOpener_;
};

const std::string accessibilityPane = "x-apple.systempreferences:com.apple.preference.security?Privacy_Accessibility";
const std::string screenCapturePane = "x-apple.systempreferences:com.apple.preference.security?Privacy_ScreenCapture";

TEST_F(PermissionFlow, CreatingTheManagerAsksNothing) {
  auto manager = makeManager();
  EXPECT_EQ(trusted.calls + postEvent.calls + requestTrust.calls + screenPreflight.calls + screenRequest.calls, 0);
  PermissionManager withDefaults;  // the X11 checks open nothing until asked
  EXPECT_TRUE(capture.lines().empty());
}

TEST_F(PermissionFlow, AccessibilityTrusted) {
  trusted.answers = {true};
  EXPECT_TRUE(makeManager().ensureAccessibilityAccess());
  EXPECT_EQ(capture.lines(), (std::vector<CapturedLogLine>{{LogCategory::PERMISSION, "Accessibility: granted"}}));
  EXPECT_EQ(postEvent.calls, 0);
  EXPECT_EQ(requestTrust.calls, 0);
  EXPECT_TRUE(opened.empty());
}

TEST_F(PermissionFlow, AccessibilityThroughEventPostingAlone) {
  trusted.answers = {false};
  postEvent.answers = {true};
  auto manager = makeManager();
  EXPECT_TRUE(manager.ensureAccessibilityAccess());
  EXPECT_EQ(capture.messages(), std::vector<std::string>{"Accessibility: granted"});
  EXPECT_EQ(requestTrust.calls, 0);
  EXPECT_TRUE(opened.empty());
}

TEST_F(PermissionFlow, AccessibilityGrantedByTheRequest) {
  trusted.answers = {false};
  postEvent.answers = {false};
  requestTrust.answers = {true};
  EXPECT_TRUE(makeManager().ensureAccessibilityAccess());
  EXPECT_EQ(capture.messages(),
            (std::vector<std::string>{"Accessibility: missing", "Requesting Accessibility (system prompt)"}));
  EXPECT_EQ(requestTrust.calls, 1);
  EXPECT_TRUE(opened.empty());
}

TEST_F(PermissionFlow, AccessibilityArrivingAfterTheRequestOpensNoPane) {
  trusted.answers = {false, true};
  postEvent.answers = {false};
  requestTrust.answers = {false};
  EXPECT_TRUE(makeManager().ensureAccessibilityAccess());
  EXPECT_EQ(capture.messages(), (std::vector<std::string>{"Accessibility: missing",
                                                          "Requesting Accessibility (system prompt)",
                                                          "Accessibility: granted"}));
  EXPECT_TRUE(opened.empty());
}

TEST_F(PermissionFlow, AccessibilityMissingOpensThePaneAndChecksOnceMore) {
  trusted.answers = {false};
  postEvent.answers = {false, false, true};  // granted while the pane was open
  requestTrust.answers = {false};
  EXPECT_TRUE(makeManager().ensureAccessibilityAccess());
  EXPECT_EQ(capture.lines(), (std::vector<CapturedLogLine>{
                                 {LogCategory::PERMISSION, "Accessibility: missing"},
                                 {LogCategory::PERMISSION, "Requesting Accessibility (system prompt)"},
                                 {LogCategory::PERMISSION, "Accessibility: missing"},
                             }));
  EXPECT_EQ(opened, std::vector<std::string>{accessibilityPane});
  EXPECT_EQ(trusted.calls, 3);
  EXPECT_EQ(postEvent.calls, 3);

  capture.sink().clear();
  opened.clear();
  trusted = {};
  postEvent = {};
  requestTrust = {};
  EXPECT_FALSE(makeManager().ensureAccessibilityAccess());
  EXPECT_EQ(opened, std::vector<std::string>{accessibilityPane});
  EXPECT_EQ(capture.messages().size(), 3u);
}

TEST_F(PermissionFlow, ScreenRecordingGranted) {
  screenPreflight.answers = {true};
  EXPECT_TRUE(makeManager().ensureScreenRecordingAccess());
  EXPECT_EQ(capture.lines(), (std::vector<CapturedLogLine>{{LogCategory::PERMISSION, "Screen Recording: granted"}}));
  EXPECT_EQ(screenRequest.calls, 0);
  EXPECT_TRUE(opened.empty());
}

TEST_F(PermissionFlow, ScreenRecordingGrantedByTheRequest) {
  screenPreflight.answers = {false};
  screenRequest.answers = {true};
  EXPECT_TRUE(makeManager().ensureScreenRecordingAccess());
  EXPECT_EQ(capture.messages(),
            (std::vector<std::string>{"Screen Recording: missing", "Requesting Screen Recording (system prompt)"}));
  EXPECT_TRUE(opened.empty());
}

TEST_F(PermissionFlow, ScreenRecordingRefusedOpensThePane) {
  screenPreflight.answers = {false};
  screenRequest.answers = {false};
  EXPECT_FALSE(makeManager().ensureScreenRecordingAccess());
  EXPECT_EQ(capture.messages(),
            (std::vector<std::string>{"Screen Recording: missing", "Requesting Screen Recording (system prompt)"}));
  EXPECT_EQ(opened, std::vector<std::string>{screenCapturePane});
  EXPECT_EQ(screenRequest.calls, 1);
}

TEST_F(PermissionFlow, ChecksAreReplaceableAfterCreationAndEmptyOrThrowingChecksAnswerFalse) {
  auto manager = makeManager();
  manager.checks.isAccessibilityTrusted = [] { return true; };
  EXPECT_TRUE(manager.isAccessibilityTrusted());
  manager.checks.preflightScreenCaptureAccess = nullptr;
  EXPECT_FALSE(manager.preflightScreenCaptureAccess());
  manager.checks.preflightPostEventAccess = []() -> bool { throw std::runtime_error("x"); };
  EXPECT_FALSE(manager.preflightPostEventAccess());
}

TEST_F(PermissionFlow, OpenPrivacySettingsFormsTheAddressOrFallsBack) {
  PermissionManager::openPrivacySettings("com.apple.preference.security?Privacy_ScreenCapture");
  PermissionManager::openPrivacySettings("bad anchor with spaces");
  PermissionManager::openPrivacySettings("50%-off");
  PermissionManager::openPrivacySettings("caf\xc3\xa9");
  EXPECT_EQ(opened, (std::vector<std::string>{screenCapturePane, "x-apple.systempreferences:com.apple.preference.security",
                                              "x-apple.systempreferences:com.apple.preference.security",
                                              "x-apple.systempreferences:com.apple.preference.security"}));
}

TEST_F(PermissionFlow, DefaultOpenerLogsThatSettingsAreUnavailable) {
  PermissionManager::setUrlOpener(PermissionManager::defaultUrlOpener());
  PermissionManager::openPrivacySettings("com.apple.preference.security?Privacy_Accessibility");
  EXPECT_EQ(capture.lines(),
            (std::vector<CapturedLogLine>{
                {LogCategory::PERMISSION, "Privacy settings unavailable on this platform: " + accessibilityPane}}));
}

}  // namespace
}  // namespace veltrano

namespace veltrano {
namespace {

TEST(DefaultPermissionChecks, FollowTheXServer) {
  const char* display = std::getenv("DISPLAY");
  if (display == nullptr || *display == '\0') {
    const char* ci = std::getenv("CI");
    if (ci != nullptr && std::string(ci) == "true") FAIL() << "DISPLAY is not set: scripts/test-env must start Xvfb";
    GTEST_SKIP() << "no X server (DISPLAY unset); run under scripts/test-env";
  }
  ScopedLogCapture capture;
  PermissionManager manager;
  EXPECT_TRUE(manager.preflightScreenCaptureAccess());
  EXPECT_TRUE(manager.ensureScreenRecordingAccess());
  EXPECT_TRUE(manager.ensureAccessibilityAccess());
  EXPECT_EQ(capture.messages(), (std::vector<std::string>{"Screen Recording: granted", "Accessibility: granted"}));
}

}  // namespace
}  // namespace veltrano
