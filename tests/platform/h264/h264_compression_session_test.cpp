#include "platform/h264/h264_compression_session.hpp"

#include <chrono>
#include <future>
#include <random>
#include <thread>

#include <gtest/gtest.h>
#include <libyuv/convert_from_argb.h>

#include "support/destroyed_from_own_handler.hpp"
#include "support/recorded_values.hpp"
#include "ffmpeg_decoder.hpp"

namespace veltrano::platform {
namespace {

using namespace std::chrono_literals;

// Collects what a session hands out on its thread.
class EncodedOutput {
 public:
  H264CompressionSession::OutputHandler outputHandler() { return units_.recorder(); }
  H264CompressionSession::ErrorHandler errorHandler() { return errors_.recorder(); }
  std::vector<EncodedAccessUnit> units() { return units_.values(); }
  std::vector<std::string> errors() { return errors_.values(); }

 private:
  testing::RecordedValues<EncodedAccessUnit> units_;
  testing::RecordedValues<std::string> errors_;
};


// Drawn in B G R X like the screen, encoded from I420 like the capture delivers it.
struct Picture {
  std::vector<std::uint8_t> pixels;
  int width = 0;
  int height = 0;
  std::vector<std::uint8_t> planes;

  int chromaWidth() const { return (width + 1) / 2; }
  std::size_t lumaBytes() const { return static_cast<std::size_t>(width) * height; }
  std::size_t chromaBytes() const { return static_cast<std::size_t>(chromaWidth()) * ((height + 1) / 2); }
  void convert() {
    planes.resize(lumaBytes() + 2 * chromaBytes());
    libyuv::ARGBToI420(pixels.data(), width * 4, planes.data(), width, planes.data() + lumaBytes(), chromaWidth(),
                       planes.data() + lumaBytes() + chromaBytes(), chromaWidth(), width, height);
  }
  I420Image image() const {
    return {planes.data(), width, planes.data() + lumaBytes(), chromaWidth(), planes.data() + lumaBytes() + chromaBytes(),
            chromaWidth(), width, height};
  }
};

constexpr std::array<int, 3> kQuadrantRgb[4] = {{220, 30, 30}, {30, 200, 40}, {40, 40, 220}, {235, 235, 235}};

std::shared_ptr<Picture> blank(int width, int height) {
  auto picture = std::make_shared<Picture>();
  picture->width = width;
  picture->height = height;
  picture->pixels.resize(static_cast<std::size_t>(width) * height * 4);
  return picture;
}

// Four flat quadrants; `shift` moves a small dark square so that consecutive pictures differ.
std::shared_ptr<Picture> quadrants(int width, int height, int shift = 0) {
  auto picture = blank(width, height);
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      const int quadrant = (y >= height / 2 ? 2 : 0) + (x >= width / 2 ? 1 : 0);
      auto rgb = kQuadrantRgb[quadrant];
      if (y < 8 && x >= shift % (width - 8) && x < shift % (width - 8) + 8) rgb = {0, 0, 0};
      std::uint8_t* p = &picture->pixels[(static_cast<std::size_t>(y) * width + x) * 4];
      p[0] = static_cast<std::uint8_t>(rgb[2]);
      p[1] = static_cast<std::uint8_t>(rgb[1]);
      p[2] = static_cast<std::uint8_t>(rgb[0]);
      p[3] = 0xFF;
    }
  }
  picture->convert();
  return picture;
}

std::shared_ptr<Picture> noise(int width, int height, unsigned seed) {
  auto picture = blank(width, height);
  std::mt19937 random(seed);
  for (auto& byte : picture->pixels) byte = static_cast<std::uint8_t>(random());
  picture->convert();
  return picture;
}

// Waits for each picture: a burst faster than the encoder would lose pictures (see the dropping test).
void submit(H264CompressionSession& session, const std::shared_ptr<Picture>& picture, std::int64_t pts,
            bool force = false) {
  session.submit(picture->image(), picture, pts, force);
  session.completePending();
}

std::vector<int> nalTypes(const EncodedAccessUnit& unit) {
  std::vector<int> types;
  for (const auto& nal : test::splitLengthPrefixed(unit.data)) types.push_back(nal[0] & 0x1F);
  return types;
}

bool near(std::array<int, 3> got, std::array<int, 3> want, int tolerance = 12) {
  for (int i = 0; i < 3; ++i) {
    if (std::abs(got[i] - want[i]) > tolerance) return false;
  }
  return true;
}

void expectQuadrants(const test::DecodedVideo& video, std::size_t frame) {
  const int w = video.width;
  const int h = video.height;
  const int xs[2] = {w / 4, 3 * w / 4};
  const int ys[2] = {h / 4 + 4, 3 * h / 4};
  for (int q = 0; q < 4; ++q) {
    const auto got = video.rgbAt(frame, xs[q % 2], ys[q / 2]);
    EXPECT_TRUE(near(got, kQuadrantRgb[q])) << "frame " << frame << " quadrant " << q << ": " << got[0] << ","
                                            << got[1] << "," << got[2];
  }
}

H264EncoderSettings settings(int width = 320, int height = 240) {
  return {.width = width, .height = height, .framesPerSecond = 30, .bitRate = 2'000'000};
}

TEST(H264CompressionSession, EncodesAStreamAnIndependentDecoderReadsWithIdrsOnlyWhereWanted) {
  VELTRANO_REQUIRE_FFMPEG();
  EncodedOutput output;
  auto session = H264CompressionSession::create(settings(), output.outputHandler(), output.errorHandler());
  const auto sets = session->parameterSets();
  ASSERT_TRUE(sets);
  EXPECT_EQ(sets->width, 320);
  EXPECT_EQ(sets->height, 240);
  const std::int64_t start = 5'000'000'000;
  constexpr std::size_t kForced = 12;
  for (int i = 0; i < 20; ++i) submit(*session, quadrants(320, 240, i * 5), start + i * 33'333, i == kForced);
  session->completePending();

  const auto units = output.units();
  ASSERT_EQ(units.size(), 20u);
  EXPECT_TRUE(output.errors().empty());
  for (std::size_t i = 0; i < units.size(); ++i) {
    SCOPED_TRACE(i);
    const bool keyframe = i == 0 || i == kForced;
    EXPECT_EQ(units[i].ptsMicros, start + static_cast<std::int64_t>(i) * 33'333);
    EXPECT_EQ(units[i].keyframe, keyframe);
    EXPECT_EQ(units[i].parameterSets != nullptr, keyframe);
    const auto types = nalTypes(units[i]);
    ASSERT_FALSE(types.empty()) << "not a run of length-prefixed NAL units";
    EXPECT_EQ(std::count(types.begin(), types.end(), 7), 0) << "SPS inside an access unit";
    EXPECT_EQ(std::count(types.begin(), types.end(), 8), 0) << "PPS inside an access unit";
    EXPECT_EQ(std::count(types.begin(), types.end(), 5) > 0, keyframe) << "IDR slices only in keyframes";
  }
  EXPECT_EQ(units[0].parameterSets, sets);
  EXPECT_GT(units[0].encodeDuration.count(), 0);

  const auto video = test::decodeCleanly(units, 320, 240);
  ASSERT_EQ(video.frames.size(), 20u);
  for (std::size_t i = 0; i < video.frames.size(); ++i) expectQuadrants(video, i);
}

TEST(H264CompressionSession, BitRateChangesFollowTheTargetAndKeepTheStreamDecodable) {
  VELTRANO_REQUIRE_FFMPEG();
  EncodedOutput output;
  auto s = settings();
  s.bitRate = 8'000'000;
  auto session = H264CompressionSession::create(s, output.outputHandler(), output.errorHandler());
  std::int64_t pts = 0;
  auto run = [&](int count) {
    for (int i = 0; i < count; ++i, pts += 33'333) submit(*session, noise(320, 240, static_cast<unsigned>(pts)), pts);
    session->completePending();
  };
  run(30);
  session->setBitRate(200'000);
  run(30);
  session->setBitRate(8'000'000);
  run(30);

  const auto units = output.units();
  ASSERT_EQ(units.size(), 90u);
  EXPECT_TRUE(output.errors().empty());
  auto meanSize = [&](std::size_t from, std::size_t to) {
    std::size_t total = 0;
    for (std::size_t i = from; i < to; ++i) total += units[i].data.size();
    return total / (to - from);
  };
  const auto high = meanSize(15, 30);
  const auto low = meanSize(45, 60);
  const auto highAgain = meanSize(75, 90);
  EXPECT_LT(low * 3, high) << "low " << low << " high " << high;
  EXPECT_LT(low * 3, highAgain) << "low " << low << " high again " << highAgain;
  // The stream stays one stream: every picture decodes.
  const auto video = test::decodeCleanly(units, 320, 240);
  EXPECT_EQ(video.frames.size(), 90u);
}

TEST(H264CompressionSession, FrameRateAndKeyframeIntervalChangesRebuildWithAKeyframe) {
  VELTRANO_REQUIRE_FFMPEG();
  EncodedOutput output;
  auto session = H264CompressionSession::create(settings(), output.outputHandler(), output.errorHandler());
  const auto firstSets = session->parameterSets();
  std::int64_t pts = 0;
  auto run = [&](int count) {
    for (int i = 0; i < count; ++i, pts += 20'000) {
      submit(*session, quadrants(320, 240, static_cast<int>(pts / 7000)), pts);
    }
    session->completePending();
  };
  run(5);
  session->setFrameRate(30);  // unchanged: no rebuild
  run(3);
  session->setFrameRate(50);
  run(5);
  const auto secondSets = session->parameterSets();
  session->setKeyframeInterval(4);
  run(12);

  const auto units = output.units();
  ASSERT_EQ(units.size(), 25u);
  EXPECT_TRUE(output.errors().empty());
  std::vector<std::size_t> keyframes;
  for (std::size_t i = 0; i < units.size(); ++i) {
    if (units[i].keyframe) keyframes.push_back(i);
  }
  // 0: start; 8: the new frame rate; 13: the new interval, then at most 4 pictures apart.
  ASSERT_GE(keyframes.size(), 5u);
  EXPECT_EQ(keyframes[0], 0u);
  EXPECT_EQ(keyframes[1], 8u);
  EXPECT_EQ(keyframes[2], 13u);
  for (std::size_t k = 3; k < keyframes.size(); ++k) EXPECT_LE(keyframes[k] - keyframes[k - 1], 4u);
  EXPECT_LE(units.size() - keyframes.back(), 4u);
  EXPECT_NE(secondSets, firstSets);
  EXPECT_EQ(units[8].parameterSets, secondSets);
  EXPECT_EQ(units[13].parameterSets, session->parameterSets());

  const auto video = test::decodeCleanly(units, 320, 240);
  ASSERT_EQ(video.frames.size(), 25u);
  expectQuadrants(video, 8);
  expectQuadrants(video, 24);
}

TEST(H264CompressionSession, ScalesPicturesOfAnotherSizeToTheSessionSize) {
  VELTRANO_REQUIRE_FFMPEG();
  EncodedOutput output;
  auto session = H264CompressionSession::create(settings(160, 120), output.outputHandler(), output.errorHandler());
  submit(*session, quadrants(320, 240), 0);
  submit(*session, quadrants(161, 121), 33'333);  // odd sizes too
  session->completePending();
  const auto units = output.units();
  ASSERT_EQ(units.size(), 2u);
  const auto video = test::decodeCleanly(units, 160, 120);
  ASSERT_EQ(video.frames.size(), 2u);
  expectQuadrants(video, 0);
  expectQuadrants(video, 1);
}

TEST(H264CompressionSession, DropsTheOldestWaitingPicturesWhenBehindAndKeepsTheirKeyframeRequest) {
  EncodedOutput output;
  std::promise<void> released;
  std::shared_future<void> release = released.get_future().share();
  std::promise<void> entered;
  std::atomic<bool> first{true};
  auto collect = output.outputHandler();
  auto session = H264CompressionSession::create(
      settings(),
      [&](EncodedAccessUnit unit) {
        if (first.exchange(false)) {
          entered.set_value();
          release.wait();  // holds the encoder thread while more pictures queue up
        }
        collect(std::move(unit));
      },
      output.errorHandler());
  const auto picture = quadrants(320, 240);
  session->submit(picture->image(), picture, 0, false);
  entered.get_future().wait();
  for (int i = 1; i <= 10; ++i) session->submit(picture->image(), picture, i * 1000, /*force=*/i == 2);
  EXPECT_EQ(session->droppedPictures(), 7u);
  released.set_value();
  session->completePending();
  const auto units = output.units();
  ASSERT_EQ(units.size(), 4u);  // the first, then the three newest
  EXPECT_EQ(units[1].ptsMicros, 8000);
  EXPECT_TRUE(units[1].keyframe) << "the dropped picture's keyframe request was lost";
  EXPECT_EQ(units[3].ptsMicros, 10'000);
}

TEST(H264CompressionSession, InvalidateSilencesTheSessionAndIsIdempotent) {
  EncodedOutput output;
  auto session = H264CompressionSession::create(settings(1280, 720), output.outputHandler(), output.errorHandler());
  for (int i = 0; i < 3; ++i) {
    const auto picture = noise(1280, 720, static_cast<unsigned>(i));
    session->submit(picture->image(), picture, i * 1000, false);
  }
  session->invalidate();
  const auto delivered = output.units().size();
  EXPECT_LE(delivered, 3u);
  const auto late = quadrants(1280, 720);
  session->submit(late->image(), late, 10'000, false);
  session->completePending();  // returns at once
  session->invalidate();
  std::this_thread::sleep_for(50ms);
  EXPECT_EQ(output.units().size(), delivered);

  // completePending from the output handler must not wait for itself; invalidate from it ends the thread.
  test::expectStoppedFromOwnHandler<H264CompressionSession>(
      [](auto handler) {
        auto inner = H264CompressionSession::create(settings(), handler, nullptr);
        const auto picture = quadrants(320, 240);
        inner->submit(picture->image(), picture, 0, false);
        inner->submit(picture->image(), picture, 1000, false);
        return inner;
      },
      [](H264CompressionSession& self) {
        self.completePending();
        self.invalidate();
      },
      [](H264CompressionSession&) {});
}

TEST(H264CompressionSession, RefusesBadSettingsWithAReason) {
  EncodedOutput output;
  auto create = [&](H264EncoderSettings s) {
    return H264CompressionSession::create(s, output.outputHandler(), output.errorHandler());
  };
  try {
    create(settings(321, 240));
    ADD_FAILURE() << "an odd width was taken";
  } catch (const H264Error& e) {
    EXPECT_STREQ(e.what(), "Picture size 321x240 is not a positive even size");
  }
  auto zeroRate = settings();
  zeroRate.framesPerSecond = 0;
  EXPECT_THROW(create(zeroRate), H264Error);
  auto session = create(settings());
  EXPECT_THROW(session->setFrameRate(0), H264Error);
  EXPECT_THROW(session->setFrameRate(500), H264Error);
  EXPECT_THROW(session->setBitRate(10), H264Error);
  EXPECT_THROW(session->setKeyframeInterval(-1), H264Error);
  // A picture without planes is reported and the session goes on.
  session->submit({nullptr, 320, nullptr, 160, nullptr, 160, 320, 240}, nullptr, 0, false);
  submit(*session, quadrants(320, 240), 1000);
  session->completePending();
  EXPECT_EQ(output.errors(), (std::vector<std::string>{"Not an I420 picture"}));
  EXPECT_EQ(output.units().size(), 1u);
}

}  // namespace
}  // namespace veltrano::platform
