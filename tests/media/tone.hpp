#pragma once
// Sound for the capture tests: a 1 kHz tone played into a PulseAudio server's default sink, and the loudest sample
// of what came back. Tests using this header link libpulse-simple.
#include <pulse/simple.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "media/audio_packet.hpp"

namespace veltrano::test {

// Plays a 1 kHz mono tone into the server's default sink for `duration` and waits until it has been played.
inline void playTone(const std::string& server, std::chrono::milliseconds duration) {
  const pa_sample_spec spec{PA_SAMPLE_S16LE, 48000, 1};
  int error = 0;
  pa_simple* player =
      pa_simple_new(server.c_str(), "veltrano-test", PA_STREAM_PLAYBACK, nullptr, "tone", &spec, nullptr, nullptr, &error);
  if (!player) return;
  std::vector<std::int16_t> samples(static_cast<std::size_t>(48 * duration.count()));
  for (std::size_t i = 0; i < samples.size(); ++i) {
    samples[i] = static_cast<std::int16_t>(12000 * std::sin(2 * M_PI * 1000.0 * static_cast<double>(i) / 48000.0));
  }
  pa_simple_write(player, samples.data(), samples.size() * sizeof(std::int16_t), &error);
  pa_simple_drain(player, &error);
  pa_simple_free(player);
}

// The largest magnitude among the packet's signed 16-bit little-endian samples.
inline int loudestSample(const AudioPacket& packet) {
  int loudest = 0;
  for (std::size_t i = 0; i + 1 < packet.samples.size(); i += 2) {
    const auto value = static_cast<std::int16_t>(packet.samples[i] | (packet.samples[i + 1] << 8));
    loudest = std::max(loudest, std::abs(static_cast<int>(value)));
  }
  return loudest;
}

}  // namespace veltrano::test
