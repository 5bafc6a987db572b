#pragma once
// One x264 encoder, used from one thread at a time: zero latency (no B-frames, no look-ahead), length-prefixed
// output, parameter sets kept apart from the pictures.
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "platform/h264/h264_types.hpp"

struct x264_t;

namespace veltrano::platform {

class X264Encoder {
 public:
  // Throws H264Error on settings x264 refuses (sizes must be even) or when it cannot open.
  explicit X264Encoder(const H264EncoderSettings& settings);
  ~X264Encoder();
  X264Encoder(const X264Encoder&) = delete;
  X264Encoder& operator=(const X264Encoder&) = delete;

  const H264EncoderSettings& settings() const { return settings_; }
  const std::shared_ptr<const H264ParameterSets>& parameterSets() const { return parameterSets_; }

  // Encodes one picture (scaled to the encoder's size when it differs). Presentation times are made strictly
  // increasing. nullopt when x264 holds the picture back (it does not at zero latency). Throws H264Error.
  std::optional<EncodedAccessUnit> encode(const I420Image& image, std::int64_t ptsMicros, bool forceKeyframe);
  // Hands out the pictures x264 still holds. The encoder takes no pictures afterwards: call it only before closing.
  std::vector<EncodedAccessUnit> flush();
  // Average bit rate and the VBV limits that follow from it, from the next picture on. Throws H264Error.
  void setBitRate(int bitsPerSecond);

 private:
  struct Picture;

  H264EncoderSettings settings_;
  x264_t* encoder_ = nullptr;
  std::unique_ptr<Picture> scaled_;  // only for pictures of another size
  std::shared_ptr<const H264ParameterSets> parameterSets_;
  std::optional<std::int64_t> lastPts_;
};

}  // namespace veltrano::platform
