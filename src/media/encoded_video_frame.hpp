#pragma once
// What the encoder hands to its display's video server: one access unit, and with every keyframe the
// parameter sets it needs, so that a server that forgot them (resetStream) has them again at the next keyframe.
#include <cstdint>
#include <optional>
#include <vector>

#include "base/encoding.hpp"
#include "media/keyframe_request_target.hpp"

namespace veltrano {

struct VideoParameterSets {
  std::uint32_t codedWidth = 0;   // after cropping (1080, not 1088)
  std::uint32_t codedHeight = 0;
  std::vector<Bytes> sps;
  std::vector<Bytes> pps;
  bool operator==(const VideoParameterSets&) const = default;
};

struct EncodedVideoFrame {
  bool keyframe = false;
  std::uint64_t presentationTimeMicros = 0;  // strictly increasing within a stream
  Bytes accessUnit;                          // NAL units, each after a 4-byte big-endian length; no parameter sets
  std::optional<VideoParameterSets> parameterSets;  // set on every keyframe
};

// Where encoded frames go; VideoStreamServer implements it. Called from any thread; the sink hops onto its own
// executor.
class EncodedVideoFrameSink {
 public:
  virtual ~EncodedVideoFrameSink() = default;
  virtual void submitEncodedFrame(EncodedVideoFrame frame) = 0;
  // Whether anyone watches (local clients or remote viewers): the capture encodes only then. Called from any
  // thread for every captured frame, so it must be cheap (an atomic read).
  virtual bool hasViewers() const = 0;
};

}  // namespace veltrano
