#include "platform/capture/cursor_overlay.hpp"

#include <array>
#include <vector>

#include <gtest/gtest.h>

namespace veltrano::platform {
namespace {

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

TEST(CompositeCursor, BlendsPremultipliedPixelsOverThePicture) {
  auto pixels = filledPicture(200, 100, 0);
  // Root coordinates; the picture starts at (10, 20). Opaque white, half-transparent blue (premultiplied), nothing.
  const CursorImage cursor = cursorAt(12, 21, 3, 1, {argb(255, 255, 255, 255), argb(128, 0, 0, 128), argb(0, 0, 0, 0)});
  compositeCursor(cursor, pixels.data(), kWidth, kHeight, kStride, 10, 20);

  EXPECT_EQ(bgrAt(pixels, 2, 1), (std::array<int, 3>{255, 255, 255}));
  // dst * (1 - 128/255) + src: blue 200 * 127/255 + 128 = 228, green 100 * 127/255 = 50, red 0.
  EXPECT_EQ(bgrAt(pixels, 3, 1), (std::array<int, 3>{228, 50, 0}));
  EXPECT_EQ(bgrAt(pixels, 4, 1), (std::array<int, 3>{200, 100, 0}));
  EXPECT_EQ(bgrAt(pixels, 1, 1), (std::array<int, 3>{200, 100, 0}));
  EXPECT_EQ(bgrAt(pixels, 2, 0), (std::array<int, 3>{200, 100, 0}));
}

TEST(CompositeCursor, ClipsAtEveryEdgeAndLeavesRowPaddingAlone) {
  auto pixels = filledPicture(0, 0, 0);
  // Hangs over the left, top, right and bottom edges at once.
  const CursorImage cursor =
      cursorAt(-2, -2, kWidth + 4, kHeight + 4, std::vector((kWidth + 4) * (kHeight + 4), argb(255, 10, 20, 30)));
  compositeCursor(cursor, pixels.data(), kWidth, kHeight, kStride, 0, 0);
  for (int y = 0; y < kHeight; ++y) {
    for (int x = 0; x < kWidth; ++x) EXPECT_EQ(bgrAt(pixels, x, y), (std::array<int, 3>{30, 20, 10}));
    for (int pad = kWidth * 4; pad < kStride; ++pad) EXPECT_EQ(pixels[y * kStride + pad], 0xEE);
  }
}

TEST(CompositeCursor, CursorOutsideThePictureChangesNothing) {
  const auto before = filledPicture(1, 2, 3);
  auto pixels = before;
  CursorImage cursor = cursorAt(100, 0, 2, 2, std::vector(4, argb(255, 255, 255, 255)));
  compositeCursor(cursor, pixels.data(), kWidth, kHeight, kStride, 0, 0);
  cursor.x = -2;  // ends exactly at the picture's left edge
  compositeCursor(cursor, pixels.data(), kWidth, kHeight, kStride, 0, 0);
  EXPECT_EQ(pixels, before);
}

TEST(CompositeCursor, ClampsColoursAboveTheirAlpha) {
  auto pixels = filledPicture(250, 250, 250);
  const CursorImage cursor = cursorAt(0, 0, 1, 1, {argb(128, 255, 255, 255)});  // not premultiplied: would overflow
  compositeCursor(cursor, pixels.data(), kWidth, kHeight, kStride, 0, 0);
  EXPECT_EQ(bgrAt(pixels, 0, 0), (std::array<int, 3>{255, 255, 255}));
}

}  // namespace
}  // namespace veltrano::platform
