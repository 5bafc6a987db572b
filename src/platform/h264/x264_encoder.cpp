#include "platform/h264/x264_encoder.hpp"

#include <cstdint>
// x264.h needs the fixed-width integer types first.
#include <x264.h>

#include <libyuv/scale.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <thread>

#include "platform/cpu/usable_cpus.hpp"

namespace veltrano::platform {
namespace {

constexpr unsigned kMaxThreads = 4;
constexpr int kNalTypeSps = 7;
constexpr int kNalTypePps = 8;
constexpr int kBt601 = 6;  // colour primaries, transfer and matrix of libyuv's ARGBToI420 (the capture's)

// Rate limits: peaks up to 1.5x the average, a buffer of one second at that peak.
void applyBitRate(x264_param_t& param, int bitsPerSecond) {
  const int kbps = std::max(1, bitsPerSecond / 1000);
  param.rc.i_bitrate = kbps;
  param.rc.i_vbv_max_bitrate = kbps + kbps / 2;
  param.rc.i_vbv_buffer_size = param.rc.i_vbv_max_bitrate;
}

void validate(const H264EncoderSettings& s) {
  if (s.width < 2 || s.height < 2 || s.width % 2 != 0 || s.height % 2 != 0) {
    throw H264Error("Picture size " + std::to_string(s.width) + "x" + std::to_string(s.height) +
                    " is not a positive even size");
  }
  if (s.framesPerSecond < 1 || s.framesPerSecond > 240) {
    throw H264Error("Frame rate " + std::to_string(s.framesPerSecond) + " out of range");
  }
  if (s.bitRate < 1000) throw H264Error("Bit rate " + std::to_string(s.bitRate) + " too low");
  if (s.keyframeInterval < 0) throw H264Error("Negative keyframe interval");
}

// Parameter sets without their 4-byte length prefix.
NalUnit payloadOf(const x264_nal_t& nal) { return NalUnit(nal.p_payload + 4, nal.p_payload + nal.i_payload); }

}  // namespace

struct X264Encoder::Picture {
  x264_picture_t picture;
  Picture(int width, int height) {
    if (x264_picture_alloc(&picture, X264_CSP_I420, width, height) < 0) throw H264Error("Cannot allocate a picture");
  }
  ~Picture() { x264_picture_clean(&picture); }
};

X264Encoder::X264Encoder(const H264EncoderSettings& settings) : settings_(settings) {
  validate(settings_);
  x264_param_t param;
  if (x264_param_default_preset(&param, "veryfast", "zerolatency") < 0) throw H264Error("x264 lacks its presets");
  param.i_log_level = X264_LOG_ERROR;
  // Cheaper analysis than veryfast's (trellis is already off there): for screen content, a diamond motion search,
  // one step of sub-pixel refinement and no weighted prediction cost about 4 % more bits at equal quality and save
  // about a third of x264's time.
  param.analyse.i_me_method = X264_ME_DIA;
  param.analyse.i_subpel_refine = 1;
  param.analyse.i_weighted_pred = X264_WEIGHTP_NONE;
  // No 8x8 sub-partitions in P frames (intra 4x4 and 8x8 stay: new text and edges need them): about a tenth less
  // x264 time for about 3.5 % more bits at equal quality on screen content.
  param.analyse.inter = X264_ANALYSE_I4x4 | X264_ANALYSE_I8x8;
  // Zero latency splits each picture into one slice per thread. Past four, more threads mostly add wake-ups and
  // waiting for each other, and every slice costs bits; four keep a 1080p picture within a few milliseconds.
  param.i_threads = static_cast<int>(std::clamp(usableCpuCount(), 1u, kMaxThreads));
  param.i_csp = X264_CSP_I420;
  param.i_width = settings_.width;
  param.i_height = settings_.height;
  param.i_fps_num = static_cast<std::uint32_t>(settings_.framesPerSecond);
  param.i_fps_den = 1;
  param.i_keyint_max = settings_.keyframeInterval > 0 ? settings_.keyframeInterval : 2 * settings_.framesPerSecond;
  // Rate control counts in frames of the nominal rate: with variable-rate input x264 would hold every picture back
  // until the next one arrives, to learn its duration. Times (microseconds) pass through untouched.
  param.b_vfr_input = 0;
  // Parameter sets travel out of band; access units are length-prefixed.
  param.b_repeat_headers = 0;
  param.b_annexb = 0;
  param.b_aud = 0;
  // VBV is on from the start: x264 can change its limits later only then.
  param.rc.i_rc_method = X264_RC_ABR;
  applyBitRate(param, settings_.bitRate);
  param.vui.i_colorprim = kBt601;
  param.vui.i_transfer = kBt601;
  param.vui.i_colmatrix = kBt601;
  param.vui.b_fullrange = 0;
  if (x264_param_apply_profile(&param, "high") < 0) throw H264Error("x264 refused the High profile");

  encoder_ = x264_encoder_open(&param);
  if (!encoder_) throw H264Error("x264 could not open an encoder");
  try {
    x264_nal_t* nals = nullptr;
    int count = 0;
    if (x264_encoder_headers(encoder_, &nals, &count) < 0) throw H264Error("x264 wrote no stream headers");
    auto sets = std::make_shared<H264ParameterSets>();
    sets->width = settings_.width;
    sets->height = settings_.height;
    for (int i = 0; i < count; ++i) {
      if (nals[i].i_type == kNalTypeSps) sets->sps.push_back(payloadOf(nals[i]));
      if (nals[i].i_type == kNalTypePps) sets->pps.push_back(payloadOf(nals[i]));
    }
    if (sets->sps.empty() || sets->pps.empty()) throw H264Error("x264 wrote no SPS or PPS");
    parameterSets_ = std::move(sets);
  } catch (...) {
    x264_encoder_close(encoder_);
    throw;
  }
}

X264Encoder::~X264Encoder() {
  scaled_.reset();
  x264_encoder_close(encoder_);
}

namespace {

std::optional<EncodedAccessUnit> accessUnitFrom(int size, const x264_nal_t* nals, int count,
                                                const x264_picture_t& output,
                                                const std::shared_ptr<const H264ParameterSets>& sets) {
  if (size <= 0) return std::nullopt;
  EncodedAccessUnit unit;
  unit.data.reserve(static_cast<std::size_t>(size));
  for (int i = 0; i < count; ++i) {
    if (nals[i].i_type == kNalTypeSps || nals[i].i_type == kNalTypePps) continue;
    unit.data.insert(unit.data.end(), nals[i].p_payload, nals[i].p_payload + nals[i].i_payload);
  }
  unit.keyframe = output.b_keyframe != 0;
  unit.ptsMicros = output.i_pts;
  if (unit.keyframe) unit.parameterSets = sets;
  return unit;
}

}  // namespace

std::optional<EncodedAccessUnit> X264Encoder::encode(const I420Image& image, std::int64_t ptsMicros,
                                                     bool forceKeyframe) {
  const auto started = std::chrono::steady_clock::now();
  if (!image.y || !image.u || !image.v || image.width <= 0 || image.height <= 0 || image.yStride < image.width ||
      image.uStride < (image.width + 1) / 2 || image.vStride < (image.width + 1) / 2) {
    throw H264Error("Not an I420 picture");
  }
  x264_picture_t picture;
  if (image.width == settings_.width && image.height == settings_.height) {
    // x264 copies the planes into its own frame and only reads ours.
    x264_picture_init(&picture);
    picture.img.i_csp = X264_CSP_I420;
    picture.img.i_plane = 3;
    picture.img.plane[0] = const_cast<std::uint8_t*>(image.y);
    picture.img.plane[1] = const_cast<std::uint8_t*>(image.u);
    picture.img.plane[2] = const_cast<std::uint8_t*>(image.v);
    picture.img.i_stride[0] = image.yStride;
    picture.img.i_stride[1] = image.uStride;
    picture.img.i_stride[2] = image.vStride;
  } else {
    if (!scaled_) scaled_ = std::make_unique<Picture>(settings_.width, settings_.height);
    x264_picture_t& target = scaled_->picture;
    if (libyuv::I420Scale(image.y, image.yStride, image.u, image.uStride, image.v, image.vStride, image.width,
                          image.height, target.img.plane[0], target.img.i_stride[0], target.img.plane[1],
                          target.img.i_stride[1], target.img.plane[2], target.img.i_stride[2], settings_.width,
                          settings_.height, libyuv::kFilterBox) != 0) {
      throw H264Error("Cannot scale the picture");
    }
    picture = target;
  }
  // x264 needs strictly increasing times; so do the receivers.
  const std::int64_t pts = lastPts_ && ptsMicros <= *lastPts_ ? *lastPts_ + 1 : ptsMicros;
  lastPts_ = pts;
  picture.i_pts = pts;
  picture.i_type = forceKeyframe ? X264_TYPE_IDR : X264_TYPE_AUTO;

  x264_nal_t* nals = nullptr;
  int count = 0;
  x264_picture_t output;
  const int size = x264_encoder_encode(encoder_, &nals, &count, &picture, &output);
  if (size < 0) throw H264Error("x264 failed to encode a picture");
  auto unit = accessUnitFrom(size, nals, count, output, parameterSets_);
  if (unit) {
    unit->encodeDuration =
        std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - started);
  }
  return unit;
}

std::vector<EncodedAccessUnit> X264Encoder::flush() {
  std::vector<EncodedAccessUnit> units;
  while (x264_encoder_delayed_frames(encoder_) > 0) {
    x264_nal_t* nals = nullptr;
    int count = 0;
    x264_picture_t output;
    const int size = x264_encoder_encode(encoder_, &nals, &count, nullptr, &output);
    if (size < 0) break;
    if (auto unit = accessUnitFrom(size, nals, count, output, parameterSets_)) units.push_back(std::move(*unit));
  }
  return units;
}

void X264Encoder::setBitRate(int bitsPerSecond) {
  if (bitsPerSecond < 1000) throw H264Error("Bit rate " + std::to_string(bitsPerSecond) + " too low");
  x264_param_t param;
  x264_encoder_parameters(encoder_, &param);
  applyBitRate(param, bitsPerSecond);
  if (x264_encoder_reconfig(encoder_, &param) < 0) throw H264Error("x264 refused the new bit rate");
  settings_.bitRate = bitsPerSecond;
}

}  // namespace veltrano::platform
