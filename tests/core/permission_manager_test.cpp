#include "core/log_capture.hpp"
#include "core/permission_manager.hpp"

#include <gtest/gtest.h>

#include <array>

#include "support/x11_test_env.hpp"

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

const std::string accessibilityMissing = "Accessibility: missing";
const std::string accessibilityRequested = "Requesting Accessibility (system prompt)";
const std::string screenMissing = "Screen Recording: missing";
const std::string screenRequested = "Requesting Screen Recording (system prompt)";

struct FlowCase {
  const char* name;
  bool screenRecording;  // which flow runs: screen recording or accessibility
  std::vector<bool> trusted, postEvent, requestTrust, screenPreflight, screenRequest;
  bool granted;
  std::vector<std::string> messages;
  std::string openedPane;
  std::array<int, 5> calls;  // of the scripts in the order above; -1: not checked
};

const FlowCase kFlows[] = {
    {"accessibility trusted", false, {true}, {}, {}, {}, {}, true, {"Accessibility: granted"}, "", {-1, 0, 0, -1, -1}},
    {"event posting alone", false, {false}, {true}, {}, {}, {}, true, {"Accessibility: granted"}, "", {-1, -1, 0, -1, -1}},
    {"accessibility granted by the request", false, {false}, {false}, {true}, {}, {}, true,
     {accessibilityMissing, accessibilityRequested}, "", {-1, -1, 1, -1, -1}},
    {"accessibility arriving after the request", false, {false, true}, {false}, {false}, {}, {}, true,
     {accessibilityMissing, accessibilityRequested, "Accessibility: granted"}, "", {-1, -1, -1, -1, -1}},
    {"accessibility granted while the pane is open", false, {false}, {false, false, true}, {false}, {}, {}, true,
     {accessibilityMissing, accessibilityRequested, accessibilityMissing}, accessibilityPane, {3, 3, -1, -1, -1}},
    {"accessibility never granted", false, {}, {}, {}, {}, {}, false,
     {accessibilityMissing, accessibilityRequested, accessibilityMissing}, accessibilityPane, {-1, -1, -1, -1, -1}},
    {"screen recording granted", true, {}, {}, {}, {true}, {}, true, {"Screen Recording: granted"}, "",
     {-1, -1, -1, -1, 0}},
    {"screen recording granted by the request", true, {}, {}, {}, {false}, {true}, true,
     {screenMissing, screenRequested}, "", {-1, -1, -1, -1, -1}},
    {"screen recording refused", true, {}, {}, {}, {false}, {false}, false, {screenMissing, screenRequested},
     screenCapturePane, {-1, -1, -1, -1, 1}},
};

TEST_F(PermissionFlow, AsksLogsAndOpensThePaneOnlyAsFarAsNeeded) {
  for (const FlowCase& flow : kFlows) {
    SCOPED_TRACE(flow.name);
    capture.sink().clear();
    opened.clear();
    Script* scripts[] = {&trusted, &postEvent, &requestTrust, &screenPreflight, &screenRequest};
    const std::vector<bool>* answers[] = {&flow.trusted, &flow.postEvent, &flow.requestTrust, &flow.screenPreflight,
                                          &flow.screenRequest};
    for (std::size_t i = 0; i < 5; ++i) *scripts[i] = Script{*answers[i], 0};
    auto manager = makeManager();
    EXPECT_EQ(flow.screenRecording ? manager.ensureScreenRecordingAccess() : manager.ensureAccessibilityAccess(),
              flow.granted);
    EXPECT_EQ(capture.messages(), flow.messages);
    for (const auto& line : capture.lines()) EXPECT_EQ(line.category, LogCategory::PERMISSION);
    EXPECT_EQ(opened, flow.openedPane.empty() ? std::vector<std::string>{} : std::vector{flow.openedPane});
    for (std::size_t i = 0; i < 5; ++i) {
      if (flow.calls[i] >= 0) {
        EXPECT_EQ(scripts[i]->calls, flow.calls[i]) << "script " << i;
      }
    }
  }
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

TEST(DefaultPermissionChecks, FollowTheXServer) {
  VELTRANO_REQUIRE_X11();
  ScopedLogCapture capture;
  PermissionManager manager;
  EXPECT_TRUE(manager.preflightScreenCaptureAccess());
  EXPECT_TRUE(manager.ensureScreenRecordingAccess());
  EXPECT_TRUE(manager.ensureAccessibilityAccess());
  EXPECT_EQ(capture.messages(), (std::vector<std::string>{"Screen Recording: granted", "Accessibility: granted"}));
}

}  // namespace
}  // namespace veltrano
