#pragma once
// One grabbed picture of a display, as the capture thread hands it on: already in the encoder's format, I420
// (BT.601 limited range, libyuv's ARGBToI420 of the B G R X screen pixels), half the bytes of the screen's pixels.
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace veltrano::platform {

struct CapturedFrame {
  // The Y plane, then U, then V, rows without padding: Y rows are `width` bytes, U and V rows `chromaWidth()`.
  std::vector<std::uint8_t> planes;
  int width = 0;
  int height = 0;
  std::chrono::steady_clock::time_point timestamp;  // CLOCK_MONOTONIC, when the grab was taken

  static int chromaSize(int lumaSize) { return (lumaSize + 1) / 2; }
  int chromaWidth() const { return chromaSize(width); }
  int chromaHeight() const { return chromaSize(height); }
  static std::size_t byteCount(int width, int height) {
    const auto luma = static_cast<std::size_t>(width) * static_cast<std::size_t>(height);
    return luma + 2 * static_cast<std::size_t>(chromaSize(width)) * static_cast<std::size_t>(chromaSize(height));
  }
  // True when `planes` holds a whole picture of width x height.
  bool isComplete() const { return width > 0 && height > 0 && planes.size() >= byteCount(width, height); }

  std::size_t uOffset() const { return static_cast<std::size_t>(width) * static_cast<std::size_t>(height); }
  std::size_t vOffset() const {
    return uOffset() + static_cast<std::size_t>(chromaWidth()) * static_cast<std::size_t>(chromaHeight());
  }
  const std::uint8_t* y() const { return planes.data(); }
  const std::uint8_t* u() const { return planes.data() + uOffset(); }
  const std::uint8_t* v() const { return planes.data() + vOffset(); }
  std::uint8_t* y() { return planes.data(); }
  std::uint8_t* u() { return planes.data() + uOffset(); }
  std::uint8_t* v() { return planes.data() + vOffset(); }
};

}  // namespace veltrano::platform
