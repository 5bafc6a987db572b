// Capture on a private two-monitor X server: grabbing pixels, streams of frames, and how they end.
#include <gtest/gtest.h>

#include <libyuv/convert_argb.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/capture/capture_error.hpp"
#include "platform/capture/capture_stream.hpp"
#include "platform/capture/screen_grabber.hpp"
#include "support/destroyed_from_own_handler.hpp"
#include "support/recorded_values.hpp"
#include "support/x11_test_env.hpp"
#include "support/two_monitor_screen.hpp"

namespace veltrano::platform {
namespace {

using namespace std::chrono_literals;
using test::Rgb;
using test::TwoMonitorScreen;

using FrameCollector = testing::Deliveries<std::shared_ptr<const CapturedFrame>>;

// The frame with this index (0 = first), waiting up to `timeout`; null when it did not come.
std::shared_ptr<const CapturedFrame> frameAt(FrameCollector& frames, std::size_t index,
                                             std::chrono::milliseconds timeout = std::chrono::seconds(5)) {
  return frames.values.waitForValue(index, timeout).value_or(nullptr);
}

// The colour of one pixel of an I420 frame, converted back with libyuv's own BT.601 conversion.
Rgb pixelAt(const CapturedFrame& frame, int x, int y) {
  std::uint8_t argb[4];
  const int cx = x / 2;
  const int cy = y / 2;
  libyuv::I420ToARGB(frame.y() + y * frame.width + x, frame.width, frame.u() + cy * frame.chromaWidth() + cx,
                     frame.chromaWidth(), frame.v() + cy * frame.chromaWidth() + cx, frame.chromaWidth(), argb, 4, 1,
                     1);
  return {argb[2], argb[1], argb[0]};
}

// Within the rounding of a conversion to limited-range I420 and back.
bool near(Rgb got, Rgb want) {
  constexpr int kTolerance = 4;
  return std::abs(got.r - want.r) <= kTolerance && std::abs(got.g - want.g) <= kTolerance &&
         std::abs(got.b - want.b) <= kTolerance;
}

::testing::AssertionResult hasColour(const CapturedFrame& frame, int x, int y, Rgb want) {
  const Rgb got = pixelAt(frame, x, y);
  if (near(got, want)) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "pixel " << x << "," << y << " is (" << int(got.r) << "," << int(got.g)
                                       << "," << int(got.b) << "), want (" << int(want.r) << "," << int(want.g)
                                       << "," << int(want.b) << ")";
}

constexpr Rgb kRed{200, 30, 40};
constexpr Rgb kBlue{20, 40, 220};
constexpr Rgb kGreen{10, 210, 60};
constexpr Rgb kYellow{230, 220, 0};
constexpr Rgb kGrey{128, 128, 128};

// Each test gets a two-monitor server of its own.
class CaptureStreamTest : public ::testing::Test {
 protected:
  void SetUp() override { VELTRANO_START_TWO_MONITOR_SCREEN(screen_); }

  CaptureStreamSettings settingsFor(const X11Monitor& monitor) const {
    CaptureStreamSettings settings;
    settings.displayID = monitor.id;
    settings.framesPerSecond = 30;
    settings.showsCursor = false;
    settings.xDisplayName = screen_.name();
    return settings;
  }
  static std::unique_ptr<CaptureStream> start(const CaptureStreamSettings& settings, FrameCollector& frames) {
    return CaptureStream::start(settings, frames.values.recorder(), frames.stops.recorder());
  }
  std::unique_ptr<CaptureStream> start(const X11Monitor& monitor, FrameCollector& frames) const {
    return start(settingsFor(monitor), frames);
  }
  // The reason start() gives for refusing `settings`.
  static std::string startFailure(const CaptureStreamSettings& settings) {
    FrameCollector frames;
    try {
      start(settings, frames);
    } catch (const CaptureError& e) {
      EXPECT_EQ(frames.values.size(), 0u);
      return e.what();
    }
    return "started";
  }

  TwoMonitorScreen screen_;
};

TEST_F(CaptureStreamTest, CapturesEachMonitorsOwnPixels) {
  screen_.fill(screen_.left().bounds, kRed);
  screen_.fill(screen_.right().bounds, kBlue);
  screen_.fill({400, 200, 40, 40}, kGreen);

  FrameCollector leftFrames;
  FrameCollector rightFrames;
  const auto before = std::chrono::steady_clock::now();
  auto left = start(screen_.left(), leftFrames);
  auto right = start(screen_.right(), rightFrames);
  EXPECT_TRUE(left->usesSharedMemory());
  EXPECT_TRUE(left->detectsDamage());
  EXPECT_EQ(left->display(), screen_.left());
  EXPECT_EQ(right->outputSize(), (PixelSize{320, 480}));

  const auto l = frameAt(leftFrames, 0);
  const auto r = frameAt(rightFrames, 0);
  ASSERT_TRUE(l && r);
  const auto after = std::chrono::steady_clock::now();
  for (const auto& frame : {l, r}) {
    EXPECT_EQ(frame->width, 320);
    EXPECT_EQ(frame->height, 480);
    EXPECT_EQ(frame->planes.size(), 320u * 480 + 2 * 160u * 240);
    EXPECT_GE(frame->timestamp, before);
    EXPECT_LE(frame->timestamp, after);
  }
  EXPECT_TRUE(hasColour(*l, 0, 0, kRed));
  EXPECT_TRUE(hasColour(*l, 319, 479, kRed));
  EXPECT_TRUE(hasColour(*r, 0, 0, kBlue));
  EXPECT_TRUE(hasColour(*r, 319, 479, kBlue));
  EXPECT_TRUE(hasColour(*r, 80, 200, kGreen));  // root (400, 200) is (80, 200) on the right monitor
  EXPECT_TRUE(hasColour(*r, 119, 239, kGreen));
  EXPECT_TRUE(hasColour(*r, 120, 240, kBlue));
  EXPECT_TRUE(leftFrames.stops.values().empty());
  EXPECT_TRUE(rightFrames.stops.values().empty());
}

TEST_F(CaptureStreamTest, SizeCapScalesKeepingAspect) {
  screen_.fill(screen_.left().bounds, kRed);
  screen_.fill({0, 240, 320, 240}, kGreen);  // lower half
  auto settings = settingsFor(screen_.left());
  settings.maxOutputWidth = 160;
  settings.maxOutputHeight = 1000;
  FrameCollector frames;
  auto stream = start(settings, frames);
  EXPECT_EQ(stream->outputSize(), (PixelSize{160, 240}));
  const auto frame = frameAt(frames, 0);
  ASSERT_TRUE(frame);
  EXPECT_EQ(frame->width, 160);
  EXPECT_EQ(frame->height, 240);
  EXPECT_TRUE(frame->isComplete());
  EXPECT_TRUE(hasColour(*frame, 80, 60, kRed));
  EXPECT_TRUE(hasColour(*frame, 80, 180, kGreen));
}

TEST_F(CaptureStreamTest, UnchangedScreenSendsNothingUntilItsDisplayChangesOrAFrameIsRequested) {
  screen_.fill({0, 0, 640, 480}, kBlue);
  FrameCollector frames;
  auto stream = start(screen_.right(), frames);
  ASSERT_TRUE(frameAt(frames, 0));
  // About ten ticks at 30 fps without any change.
  EXPECT_EQ(frameAt(frames, 1, 350ms), nullptr);

  screen_.fill({10, 10, 100, 100}, kRed);  // on the other monitor
  EXPECT_EQ(frameAt(frames, 1, 350ms), nullptr);

  screen_.fill({330, 10, 100, 100}, kYellow);
  const auto changed = frameAt(frames, 1);
  ASSERT_TRUE(changed);
  EXPECT_TRUE(hasColour(*changed, 50, 50, kYellow));
  EXPECT_TRUE(hasColour(*changed, 200, 300, kBlue));

  stream->requestFrame();
  const auto repeated = frameAt(frames, 2);
  ASSERT_TRUE(repeated);
  EXPECT_EQ(repeated->planes, changed->planes);
  EXPECT_GT(repeated->timestamp, changed->timestamp);
  EXPECT_EQ(frameAt(frames, 3, 200ms), nullptr);
}

TEST_F(CaptureStreamTest, PointerMovesDeliverFramesWithTheCursorDrawnIn) {
  screen_.fill({0, 0, 640, 480}, kGrey);
  screen_.movePointer(600, 400);  // on the right monitor, away from the left one
  auto withCursor = settingsFor(screen_.left());
  withCursor.showsCursor = true;
  FrameCollector drawn;
  FrameCollector plain;
  auto drawing = start(withCursor, drawn);
  auto notDrawing = start(screen_.left(), plain);
  ASSERT_TRUE(frameAt(drawn, 0));
  ASSERT_TRUE(frameAt(plain, 0));

  screen_.movePointer(100, 100);
  // Nothing was drawn: only the stream that shows the pointer sees a change.
  const auto moved = frameAt(drawn, 1);
  ASSERT_TRUE(moved);
  EXPECT_EQ(frameAt(plain, 1, 300ms), nullptr);
  int differing = 0;
  for (int y = 80; y < 120; ++y) {
    for (int x = 80; x < 120; ++x) {
      const Rgb p = pixelAt(*moved, x, y);
      differing += near(p, kGrey) ? 0 : 1;
    }
  }
  EXPECT_GT(differing, 10) << "no cursor drawn around the pointer";
  EXPECT_TRUE(hasColour(*moved, 300, 400, kGrey));

  screen_.movePointer(101, 103);
  EXPECT_TRUE(frameAt(drawn, 2));
  // Leaving the display takes the cursor away once; moving elsewhere then changes nothing.
  screen_.movePointer(600, 50);
  const auto left = frameAt(drawn, 3);
  ASSERT_TRUE(left);
  EXPECT_TRUE(hasColour(*left, 100, 100, kGrey));
  screen_.movePointer(620, 60);
  EXPECT_EQ(frameAt(drawn, 4, 300ms), nullptr);
}

TEST_F(CaptureStreamTest, ReportsARemovedOrChangedDisplayOnce) {
  FrameCollector leftFrames;
  FrameCollector rightFrames;
  auto left = start(screen_.left(), leftFrames);
  auto right = start(screen_.right(), rightFrames);
  ASSERT_TRUE(frameAt(leftFrames, 0));
  ASSERT_TRUE(frameAt(rightFrames, 0));

  // One xrandr run replaces the right monitor: the stream sees it moved, not gone.
  ASSERT_EQ(screen_.runXrandr("--delmonitor VL-RIGHT --setmonitor VL-RIGHT 300/85x480/127+340+0 none"), 0);
  ASSERT_TRUE(rightFrames.stops.waitForCount(1));
  ASSERT_EQ(screen_.runXrandr("--delmonitor VL-LEFT"), 0);
  ASSERT_TRUE(leftFrames.stops.waitForCount(1));
  std::this_thread::sleep_for(700ms);  // more than one check of the monitor list

  const auto rightStops = rightFrames.stops.values();
  ASSERT_EQ(rightStops.size(), 1u);
  EXPECT_EQ(rightStops[0], "Display " + std::to_string(screen_.right().id) + " changed its position or size");
  const auto leftStops = leftFrames.stops.values();
  ASSERT_EQ(leftStops.size(), 1u);
  EXPECT_EQ(leftStops[0], "Display " + std::to_string(screen_.left().id) + " is no longer available");
  right->stop();
  right->stop();
  left.reset();
}

TEST_F(CaptureStreamTest, ReportsALostXServerOnceAndStillStops) {
  FrameCollector frames;
  auto stream = start(screen_.left(), frames);
  ASSERT_TRUE(frameAt(frames, 0));
  screen_.kill();
  ASSERT_TRUE(frames.stops.waitForCount(1));
  std::this_thread::sleep_for(300ms);
  const auto stops = frames.stops.values();
  ASSERT_EQ(stops.size(), 1u);
  EXPECT_EQ(stops[0], "Lost the connection to the X server");
  stream->stop();
  stream->stop();
}

TEST_F(CaptureStreamTest, StopReturnsWhenTheXServerHangs) {
  FrameCollector frames;
  auto stream = start(screen_.left(), frames);
  ASSERT_TRUE(frameAt(frames, 0));
  screen_.freeze();
  stream->requestFrame();  // the thread now waits for a grab the server never answers
  std::this_thread::sleep_for(150ms);
  auto stopped = std::async(std::launch::async, [&] { stream->stop(); });
  // The server stays frozen until this wait is over: a stop() that waited for it would not return at all.
  const bool returned = stopped.wait_for(30s) == std::future_status::ready;
  screen_.thaw();
  stopped.wait();
  EXPECT_TRUE(returned) << "stop() hung on a stopped X server";
  EXPECT_TRUE(frames.stops.values().empty()) << "a requested stop is not a failure";
}

TEST_F(CaptureStreamTest, StartFailsWithAClearReason) {
  auto unknownDisplay = settingsFor(screen_.left());
  unknownDisplay.displayID = 1;  // an atom, but no monitor's name
  EXPECT_EQ(startFailure(unknownDisplay), "Display 1 not found");
  auto noServer = settingsFor(screen_.left());
  noServer.xDisplayName = ":65000";
  EXPECT_EQ(startFailure(noServer), "Cannot connect to the X server");
  auto noRate = settingsFor(screen_.left());
  noRate.framesPerSecond = 0;
  EXPECT_NE(startFailure(noRate), "started");
}

TEST_F(CaptureStreamTest, StopEndsDeliveryAndIsSafeTwiceAndFromItsOwnHandlers) {
  auto settings = settingsFor(screen_.left());
  settings.framesPerSecond = 60;

  FrameCollector frames;
  auto stream = start(settings, frames);
  ASSERT_TRUE(frameAt(frames, 0));
  stream->requestFrame();
  stream->stop();
  const auto delivered = frames.values.size();
  stream->requestFrame();
  std::this_thread::sleep_for(100ms);
  EXPECT_EQ(frames.values.size(), delivered);
  stream->stop();
  stream.reset();

  // From its own handlers: stopped (the owner's later stop() joins the thread) or destroyed.
  test::expectStoppedFromOwnHandler<CaptureStream>(
      [&](auto handler) { return CaptureStream::start(settings, handler, nullptr); },
      [](CaptureStream& self) { self.stop(); }, [](CaptureStream& self) { self.requestFrame(); });
  test::expectDestroyedFromOwnHandler<CaptureStream>(
      [&](auto handler) { return CaptureStream::start(settings, handler, nullptr); });
}

TEST(ScreenGrabber, SharedMemoryAndGetImageGrabTheSamePixels) {
  TwoMonitorScreen screen;
  VELTRANO_START_TWO_MONITOR_SCREEN(screen);
  screen.fill({0, 0, 640, 480}, Rgb{0, 0, 0});
  screen.fill({300, 100, 80, 60}, Rgb{10, 200, 30});  // straddles both monitors
  xcb_connection_t* c = screen.display().connection();
  const Rect area = screen.right().bounds;

  ScreenGrabber shared(c, screen.display().rootWindow(), area, /*tryShm=*/true);
  ScreenGrabber plain(c, screen.display().rootWindow(), area, /*tryShm=*/false);
  EXPECT_TRUE(shared.usesSharedMemory());
  EXPECT_FALSE(plain.usesSharedMemory());
  std::string error;
  ASSERT_TRUE(shared.grab(error)) << error;
  ASSERT_TRUE(plain.grab(error)) << error;
  ASSERT_EQ(shared.stride(), area.width * 4);
  ASSERT_EQ(plain.stride(), area.width * 4);

  // The right monitor starts at x = 320: the box covers its columns 0..59, rows 100..159.
  for (int y = 0; y < area.height; ++y) {
    for (int x = 0; x < area.width; ++x) {
      const std::uint8_t* a = shared.pixels() + y * shared.stride() + x * 4;
      const std::uint8_t* b = plain.pixels() + y * plain.stride() + x * 4;
      ASSERT_EQ(std::memcmp(a, b, 3), 0) << "at " << x << "," << y;
      const bool inBox = x < 60 && y >= 100 && y < 160;
      ASSERT_EQ(a[0], inBox ? 30 : 0) << "blue at " << x << "," << y;
      ASSERT_EQ(a[1], inBox ? 200 : 0) << "green at " << x << "," << y;
      ASSERT_EQ(a[2], inBox ? 10 : 0) << "red at " << x << "," << y;
    }
  }
}

TEST(ScreenGrabber, AreaOutsideTheScreenFailsWithAReason) {
  TwoMonitorScreen screen;
  VELTRANO_START_TWO_MONITOR_SCREEN(screen);
  for (bool tryShm : {true, false}) {
    ScreenGrabber grabber(screen.display().connection(), screen.display().rootWindow(), {600, 0, 100, 100}, tryShm);
    std::string error;
    EXPECT_FALSE(grabber.grab(error));
    EXPECT_NE(error.find("GetImage failed"), std::string::npos) << error;
    // A failed shared-memory grab leaves MIT-SHM for plain GetImage.
    EXPECT_FALSE(grabber.usesSharedMemory());
  }
  EXPECT_THROW(ScreenGrabber(screen.display().connection(), screen.display().rootWindow(), {0, 0, 0, 10}, true),
               CaptureError);
}

}  // namespace
}  // namespace veltrano::platform
