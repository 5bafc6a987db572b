#pragma once
// Plays a 1 kHz stereo tone into the default PulseAudio sink until destroyed. Tests using this header link
// libpulse-simple.
#include <pulse/simple.h>

#include <atomic>
#include <cmath>
#include <cstdint>
#include <thread>
#include <vector>

namespace veltrano::test {

class TonePlayer {
 public:
  TonePlayer() {
    thread_ = std::thread([this] {
      const pa_sample_spec spec{PA_SAMPLE_S16LE, 48000, 2};
      int error = 0;
      pa_simple* out =
          pa_simple_new(nullptr, "veltrano-test", PA_STREAM_PLAYBACK, nullptr, "tone", &spec, nullptr, nullptr, &error);
      if (!out) return;
      std::vector<std::int16_t> chunk(480 * 2);  // 10 ms
      for (std::size_t t = 0; !stop_;) {
        for (std::size_t i = 0; i < 480; ++i, ++t) {
          chunk[2 * i] = chunk[2 * i + 1] =
              static_cast<std::int16_t>(12000 * std::sin(2 * M_PI * 1000.0 * static_cast<double>(t) / 48000));
        }
        if (pa_simple_write(out, chunk.data(), chunk.size() * sizeof(std::int16_t), &error) < 0) break;
      }
      pa_simple_free(out);
    });
  }
  ~TonePlayer() {
    stop_ = true;
    thread_.join();
  }

 private:
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

}  // namespace veltrano::test
