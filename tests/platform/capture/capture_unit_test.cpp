// Capture pieces without an X server: output sizes, the cursor overlay and the frame pool.
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

#include "platform/capture/captured_frame_pool.hpp"
#include "platform/capture/cursor_overlay.hpp"
#include "platform/capture/output_size.hpp"

namespace veltrano::platform {
namespace {

TEST(CappedOutputSize, FitsTheBoxKeepingAspectAndEvenSizes) {
  struct Case {
    int width, height, maxWidth, maxHeight;
    PixelSize expected;
    const char* why;
  };
  const Case cases[] = {
      {1920, 1080, 0, 0, {1920, 1080}, "no cap: the native size"},
      {1366, 767, 0, 0, {1366, 766}, "4:2:0 needs even sizes: the last row goes"},
      {1365, 768, 0, 0, {1364, 768}, "and the last column"},
      {3840, 2160, 1920, 1080, {1920, 1080}, "same aspect"},
      {2560, 1600, 1920, 1080, {1728, 1080}, "height binds"},
      {1080, 1920, 540, 1920, {540, 960}, "width binds"},
      {2880, 1800, 1001, 1080, {1000, 624}, "an uneven ratio is floored, then made even"},
      {1280, 720, 1920, 1080, {1280, 720}, "never enlarges"},
      {3840, 2160, 1920, 0, {1920, 1080}, "zero height is no limit"},
      {3840, 2160, 0, 540, {960, 540}, "zero width is no limit"},
      {3840, 2160, -5, -5, {3840, 2160}, "negative is no limit"},
      {4000, 10, 100, 0, {100, 2}, "never below two rows"},
      {1, 1, 0, 0, {2, 2}, "never below two by two"},
      {0, 0, 0, 0, {2, 2}, "nor from nothing"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(cappedOutputSize(c.width, c.height, c.maxWidth, c.maxHeight), c.expected) << c.why;
  }
}

constexpr int kWidth = 8;
constexpr int kHeight = 6;
constexpr int kStride = kWidth * 4 + 4;  // padded rows must be honoured

std::vector<std::uint8_t> filledPicture(std::uint8_t b, std::uint8_t g, std::uint8_t r) {
  std::vector<std::uint8_t> pixels(kStride * kHeight, 0xEE);  // padding bytes keep 0xEE
  for (int y = 0; y < kHeight; ++y) {
    for (int x = 0; x < kWidth; ++x) {
      std::uint8_t* p = &pixels[y * kStride + x * 4];
      p[0] = b;
      p[1] = g;
      p[2] = r;
      p[3] = 0;
    }
  }
  return pixels;
}

std::array<int, 3> bgrAt(const std::vector<std::uint8_t>& pixels, int x, int y) {
  const std::uint8_t* p = &pixels[y * kStride + x * 4];
  return {p[0], p[1], p[2]};
}

std::uint32_t argb(std::uint32_t a, std::uint32_t r, std::uint32_t g, std::uint32_t b) {
  return (a << 24) | (r << 16) | (g << 8) | b;
}

CursorImage cursorAt(int x, int y, int width, int height, std::vector<std::uint32_t> pixels) {
  CursorImage cursor;
  cursor.x = x;
  cursor.y = y;
  cursor.width = width;
  cursor.height = height;
  cursor.argb = std::move(pixels);
  return cursor;
}

TEST(CompositeCursor, BlendsPremultipliedPixelsOverThePictureAndClampsColoursAboveTheirAlpha) {
  auto pixels = filledPicture(200, 100, 0);
  // Root coordinates; the picture starts at (10, 20). Opaque white, half-transparent blue (premultiplied), nothing.
  const CursorImage cursor = cursorAt(12, 21, 3, 1, {argb(255, 255, 255, 255), argb(128, 0, 0, 128), argb(0, 0, 0, 0)});
  compositeCursor(cursor, pixels.data(), kWidth, kHeight, kStride, 10, 20);
  EXPECT_EQ(bgrAt(pixels, 2, 1), (std::array<int, 3>{255, 255, 255}));
  // dst * (1 - 128/255) + src: blue 200 * 127/255 + 128 = 228, green 100 * 127/255 = 50, red 0.
  EXPECT_EQ(bgrAt(pixels, 3, 1), (std::array<int, 3>{228, 50, 0}));
  for (const auto& [x, y] : {std::pair{4, 1}, {1, 1}, {2, 0}}) {
    EXPECT_EQ(bgrAt(pixels, x, y), (std::array<int, 3>{200, 100, 0})) << "untouched at " << x << "," << y;
  }

  auto bright = filledPicture(250, 250, 250);
  compositeCursor(cursorAt(0, 0, 1, 1, {argb(128, 255, 255, 255)}), bright.data(), kWidth, kHeight, kStride, 0, 0);
  EXPECT_EQ(bgrAt(bright, 0, 0), (std::array<int, 3>{255, 255, 255})) << "not premultiplied: would overflow";
}

TEST(CompositeCursor, ClipsAtEveryEdgeLeavesRowPaddingAloneAndOutsideChangesNothing) {
  auto pixels = filledPicture(0, 0, 0);
  // Hangs over the left, top, right and bottom edges at once.
  const CursorImage cursor =
      cursorAt(-2, -2, kWidth + 4, kHeight + 4, std::vector((kWidth + 4) * (kHeight + 4), argb(255, 10, 20, 30)));
  compositeCursor(cursor, pixels.data(), kWidth, kHeight, kStride, 0, 0);
  for (int y = 0; y < kHeight; ++y) {
    for (int x = 0; x < kWidth; ++x) EXPECT_EQ(bgrAt(pixels, x, y), (std::array<int, 3>{30, 20, 10}));
    for (int pad = kWidth * 4; pad < kStride; ++pad) EXPECT_EQ(pixels[y * kStride + pad], 0xEE);
  }

  const auto before = filledPicture(1, 2, 3);
  auto untouched = before;
  CursorImage outside = cursorAt(100, 0, 2, 2, std::vector(4, argb(255, 255, 255, 255)));
  compositeCursor(outside, untouched.data(), kWidth, kHeight, kStride, 0, 0);
  outside.x = -2;  // ends exactly at the picture's left edge
  compositeCursor(outside, untouched.data(), kWidth, kHeight, kStride, 0, 0);
  EXPECT_EQ(untouched, before);
}

TEST(CapturedFramePool, ReusesOnlyFramesNobodyHolds) {
  auto pool = CapturedFramePool::create(2);
  auto held = pool->acquire(64, 32);
  ASSERT_EQ(held->planes.size(), 64u * 32u + 2 * 32u * 16u);  // Y, then U and V at half size
  held->planes[0] = 0xAB;
  const std::uint8_t* heldPlanes = held->planes.data();
  std::shared_ptr<const CapturedFrame> kept = held;  // e.g. the last frame kept for re-sending
  held.reset();
  EXPECT_EQ(pool->idleCount(), 0u);

  auto other = pool->acquire(64, 32);
  EXPECT_NE(other->planes.data(), heldPlanes);
  EXPECT_EQ(kept->planes[0], 0xAB);

  const std::uint8_t* otherPlanes = other->planes.data();
  other.reset();
  EXPECT_EQ(pool->idleCount(), 1u);
  auto reused = pool->acquire(64, 32);
  EXPECT_EQ(reused->planes.data(), otherPlanes);
  EXPECT_EQ(pool->idleCount(), 0u);
}

TEST(CapturedFramePool, KeepsAtMostItsLimitDropsOtherSizesAndItsFramesMayOutliveIt) {
  auto pool = CapturedFramePool::create(2);
  auto a = pool->acquire(16, 16);
  auto b = pool->acquire(16, 16);
  auto c = pool->acquire(16, 16);
  a.reset();
  b.reset();
  c.reset();
  EXPECT_EQ(pool->idleCount(), 2u);

  auto larger = pool->acquire(33, 15);  // odd sizes: chroma rounds up
  EXPECT_EQ(larger->planes.size(), 33u * 15u + 2 * 17u * 8u);
  EXPECT_EQ(larger->width, 33);
  EXPECT_EQ(larger->chromaWidth(), 17);
  EXPECT_EQ(larger->v() + 17 * 8, larger->planes.data() + larger->planes.size());
  EXPECT_EQ(pool->idleCount(), 0u);  // buffers of the old size are freed, not handed out

  pool.reset();
  larger->planes[5] = 1;  // still valid; freed when released (checked by the sanitizer builds)
  larger.reset();
}

}  // namespace
}  // namespace veltrano::platform
