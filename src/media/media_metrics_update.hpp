#pragma once
// What the capture service and the encoder add to the metrics store between two batches (see MetricsBatch).
// Counts are increments, so that the services of several displays add up; the rest is the latest value.
#include <cstdint>
#include <optional>
#include <string>

#include "core/metrics_batch.hpp"

namespace veltrano {

struct MediaMetricsUpdate {
  std::int64_t capturedFrames = 0;
  std::int64_t encodedFrames = 0;
  std::int64_t keyframes = 0;
  std::optional<double> encodeMs;
  std::optional<double> fps;
  std::optional<std::string> lastFrameDescription;

  bool empty() const {
    return capturedFrames == 0 && encodedFrames == 0 && keyframes == 0 && !encodeMs && !fps && !lastFrameDescription;
  }
  void applyTo(MetricsStore& store) const {
    if (capturedFrames != 0) store.capturedFrames.set(store.capturedFrames.get() + capturedFrames);
    if (encodedFrames != 0) store.encodedFrames.set(store.encodedFrames.get() + encodedFrames);
    if (keyframes != 0) store.keyframes.set(store.keyframes.get() + keyframes);
    if (encodeMs) store.encodeMs.set(*encodeMs);
    if (fps) store.fps.set(*fps);
    if (lastFrameDescription) store.lastFrameDescription.set(*lastFrameDescription);
  }
};

using MediaMetricsBatch = MetricsBatch<MediaMetricsUpdate>;

}  // namespace veltrano
