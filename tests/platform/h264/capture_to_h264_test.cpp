// Screen pixels through the whole platform path: grab, encode, decode with ffmpeg, compare colours.
#include <gtest/gtest.h>

#include "encoded_output.hpp"
#include "ffmpeg_decoder.hpp"
#include "platform/capture/capture_stream.hpp"
#include "platform/capture/frame_collector.hpp"
#include "platform/capture/two_monitor_screen.hpp"
#include "platform/h264/avc_decoder_configuration.hpp"
#include "platform/h264/h264_compression_session.hpp"

namespace veltrano::platform {
namespace {

TEST(CaptureToH264, CapturedMonitorDecodesToItsColours) {
  VELTRANO_REQUIRE_FFMPEG();
  test::TwoMonitorScreen screen;
  VELTRANO_START_TWO_MONITOR_SCREEN(screen);
  screen.fill(screen.left().bounds, {250, 250, 250});
  screen.fill(screen.right().bounds, {200, 40, 40});
  screen.fill({320, 240, 320, 240}, {40, 60, 210});  // lower half of the right monitor

  CaptureStreamSettings settings;
  settings.displayID = screen.right().id;
  settings.framesPerSecond = 30;
  settings.showsCursor = false;
  settings.maxOutputWidth = 160;  // 320x480 -> 160x240
  settings.xDisplayName = screen.name();
  test::FrameCollector frames;
  auto stream = CaptureStream::start(settings, frames.frameHandler(), frames.stopHandler());
  const PixelSize size = stream->outputSize();
  ASSERT_EQ(size, (PixelSize{160, 240}));

  test::EncodedOutput output;
  auto session = H264CompressionSession::create(
      {.width = size.width, .height = size.height, .framesPerSecond = 30, .bitRate = 1'000'000},
      output.outputHandler(), output.errorHandler());
  const auto first = frames.frame(0);
  ASSERT_TRUE(first);
  stream->requestFrame();
  const auto second = frames.frame(1);
  ASSERT_TRUE(second);
  stream->stop();
  for (const auto& frame : {first, second}) {
    const auto micros = std::chrono::duration_cast<std::chrono::microseconds>(frame->timestamp.time_since_epoch());
    const I420Image image{frame->y(), frame->width,        frame->u(),    frame->chromaWidth(),
                          frame->v(), frame->chromaWidth(), frame->width, frame->height};
    session->submit(image, frame, micros.count(), frame == second);
  }
  session->completePending();
  const auto units = output.units();
  ASSERT_EQ(units.size(), 2u);
  EXPECT_TRUE(units[0].keyframe);
  EXPECT_TRUE(units[1].keyframe);
  EXPECT_LT(units[0].ptsMicros, units[1].ptsMicros);

  const auto sets = session->parameterSets();
  const auto record = makeAvcDecoderConfigurationRecord(sets->sps, sets->pps);
  EXPECT_EQ(record[1], sets->sps[0][1]);
  EXPECT_EQ(record[3], sets->sps[0][3]);

  const auto video = test::decodeWithFfmpeg(test::toAnnexB(units), size.width, size.height);
  ASSERT_TRUE(video);
  EXPECT_EQ(video->errors, "");
  ASSERT_EQ(video->frames.size(), 2u);
  for (std::size_t f = 0; f < 2; ++f) {
    const auto top = video->rgbAt(f, 80, 60);
    const auto bottom = video->rgbAt(f, 80, 180);
    for (int c = 0; c < 3; ++c) {
      EXPECT_NEAR(top[c], (std::array<int, 3>{200, 40, 40})[c], 12) << "frame " << f << " channel " << c;
      EXPECT_NEAR(bottom[c], (std::array<int, 3>{40, 60, 210})[c], 12) << "frame " << f << " channel " << c;
    }
  }
}

}  // namespace
}  // namespace veltrano::platform
