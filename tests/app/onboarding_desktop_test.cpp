// A first run on the real host and the real X11 checks, on a desktop that lacks what a step needs: no display at
// all, or an X server without the XTEST input extension. Before its button is pressed the step says what is
// missing and what to do; the button checks again and answers on that step, beside the button.
#include <QQuickItem>
#include <QTest>

#include <gtest/gtest.h>

#include "app/host_controls.hpp"
#include "app/window_pictures.hpp"
#include "support/private_xvfb.hpp"
#include "support/scoped_environment.hpp"

namespace veltrano {
namespace {

QQuickItem* named(QQuickItem* parent, const char* name) {
  for (QQuickItem* child : parent->childItems()) {
    if (child->objectName() == QLatin1String(name)) return child;
    if (QQuickItem* found = named(child, name)) return found;
  }
  return nullptr;
}

class OnboardingOnThisDesktopTest : public testing::WindowPictures {
 protected:
  void expectStepThenItsAnswer(const std::string& picture) {
    EXPECT_TRUE(testing::matchesReference(window(*real_, false), picture));
    const QImage answered = window(*real_, false, {960, 650}, "overview", [](QQuickWindow& shown) {
      QQuickItem* primary = named(shown.contentItem(), "primary");
      QQuickItem* answer = named(shown.contentItem(), "checkResult");
      ASSERT_TRUE(primary && answer);
      EXPECT_FALSE(answer->isVisible());
      const QPointF centre = primary->mapToScene(primary->boundingRect().center());
      QTest::mouseClick(&shown, Qt::LeftButton, {}, centre.toPoint());
      EXPECT_TRUE(testing::processEventsUntil([&] { return answer->isVisible(); }));
    });
    EXPECT_TRUE(testing::matchesReference(answered, picture + "-checked"));
  }

  std::unique_ptr<app::HostControls> real_ = app::makeHostViewModelControls({[](auto, auto) {}, nullptr});
};

TEST_F(OnboardingOnThisDesktopTest, WithoutADisplayTheScreenStepSaysWhatIsMissingAndAnswersItsCheck) {
  testing::ScopedEnvironment noDisplay("DISPLAY", nullptr);
  expectStepThenItsAnswer("onboarding-screen-recording");
  EXPECT_EQ(real_->snapshot().screenRecordingStatus, "missing");
}

TEST_F(OnboardingOnThisDesktopTest, OnAnXServerWithoutXTestTheInputStepSaysWhatIsMissingAndAnswersItsCheck) {
  test::PrivateXvfb server;
  ASSERT_TRUE(server.start("640x480x24", {"-extension", "XTEST"}));
  testing::ScopedEnvironment display("DISPLAY", server.displayName().c_str());
  expectStepThenItsAnswer("onboarding-accessibility");
  EXPECT_EQ(real_->snapshot().screenRecordingStatus, "granted");
  EXPECT_EQ(real_->snapshot().accessibilityStatus, "missing");
}

}  // namespace
}  // namespace veltrano
