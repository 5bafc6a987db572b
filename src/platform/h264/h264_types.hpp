#pragma once
// Values that pass between the H.264 encoder and its users.
#include <chrono>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <vector>

namespace veltrano::platform {

using NalUnit = std::vector<std::uint8_t>;  // one NAL unit without start code or length

class H264Error : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct H264EncoderSettings {
  int width = 0;  // even, the coded picture size after cropping
  int height = 0;
  int framesPerSecond = 45;
  int bitRate = 5'000'000;   // average, bits per second
  int keyframeInterval = 0;  // most frames between keyframes; 0: twice the frame rate
};

// The sequence and picture parameter sets of one encoder, sent out of band (never inside access units).
struct H264ParameterSets {
  int width = 0;
  int height = 0;
  std::vector<NalUnit> sps;
  std::vector<NalUnit> pps;
};

// A picture to encode: I420 (BT.601 limited range, as the screen capture delivers it), three planes.
struct I420Image {
  const std::uint8_t* y = nullptr;
  int yStride = 0;
  const std::uint8_t* u = nullptr;
  int uStride = 0;
  const std::uint8_t* v = nullptr;
  int vStride = 0;
  int width = 0;
  int height = 0;
};

struct EncodedAccessUnit {
  std::vector<std::uint8_t> data;  // NAL units each preceded by a 4-byte big-endian length, no parameter sets
  bool keyframe = false;
  std::int64_t ptsMicros = 0;
  std::chrono::microseconds encodeDuration{0};  // compression (and scaling, if any) of this picture
  std::shared_ptr<const H264ParameterSets> parameterSets;  // set on keyframes: the sets that decode them
};

}  // namespace veltrano::platform
