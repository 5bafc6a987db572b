// The capture service end to end on a private two-monitor Xvfb with the real encoder: the real displays and
// stream, and an X server that freezes or goes away. (The pipeline test decodes what was drawn.)
#include "media/screen_capture_service.hpp"

#include <gtest/gtest.h>

#include "capture_test_support.hpp"
#include "platform/capture/two_monitor_screen.hpp"

namespace veltrano {
namespace {

using namespace std::chrono_literals;
using test::awaitOn;

class CaptureOnXvfbTest : public test::EncoderServiceTest {
 protected:
  void SetUp() override {
    EncoderServiceTest::SetUp();
    VELTRANO_START_TWO_MONITOR_SCREEN(screen);
    capture = ScreenCaptureService::create(metrics, encoder, sink, nullptr, false, {screen.name(), {}});
    awaitOn(loop, onActor(capture, [&](ScreenCaptureService& c) { c.unexpectedStopHandler = reports.handler(); }));
  }
  void TearDown() override {
    if (capture) awaitOn(loop, capture->stopCapture());
    EncoderServiceTest::TearDown();
  }
  template <class F>
  auto onCapture(F fn) {
    return awaitOn(loop, onActor(capture, std::move(fn)));
  }

  test::TwoMonitorScreen screen;
  test::StopReports reports;
  std::shared_ptr<ScreenCaptureService> capture;
};

TEST_F(CaptureOnXvfbTest, ListsBothMonitorsAndStreamsTheChosenOne) {
  const auto displays = awaitOn(loop, capture->availableDisplays());
  EXPECT_EQ(displays, (std::vector<DisplayInfo>{{screen.left().id, "VL-LEFT", 320, 480, 0},
                                                {screen.right().id, "VL-RIGHT", 320, 480, 0}}));
  awaitOn(loop, capture->startCapture(screen.right().id));
  EXPECT_EQ(onCapture([](ScreenCaptureService& c) { return c.currentDisplayFrame; }), (DisplayFrame{320, 0, 320, 480}));
  ASSERT_TRUE(sink->waitFor(2));  // the first grab, then at least a heartbeat
  const auto first = sink->frames()[0].frame;
  ASSERT_TRUE(first.parameterSets);
  EXPECT_EQ(first.parameterSets->codedWidth, 320u);
}

TEST_F(CaptureOnXvfbTest, AFrozenXServerFailsTheStartByItsDeadlineAndALostOneEndsTheStream) {
  screen.freeze();
  const auto frozenAt = std::chrono::steady_clock::now();
  try {
    awaitOn(loop, capture->startCapture(screen.left().id), 15s);
    ADD_FAILURE() << "started on a frozen X server";
  } catch (const ScreenCaptureError& e) {
    EXPECT_EQ(e.kind(), ScreenCaptureError::Kind::streamFailed);
  }
  EXPECT_GE(std::chrono::steady_clock::now() - frozenAt, ScreenCaptureService::startTimeout);
  awaitOn(loop, capture->stopCapture(), 3s);
  screen.thaw();

  awaitOn(loop, capture->startCapture(screen.left().id));
  ASSERT_TRUE(sink->waitFor(1));
  screen.kill();
  ASSERT_TRUE(reports.failures.waitForCount(1, 8s));
  EXPECT_EQ(reports.failures.values().at(0).displayID, screen.left().id);
  EXPECT_FALSE(onCapture([](ScreenCaptureService& c) { return c.isStreaming(); }));
  awaitOn(loop, capture->stopCapture(), 3s);  // promptly
  EXPECT_EQ(reports.failures.size(), 1u);
}

}  // namespace
}  // namespace veltrano
