#pragma once
// Recording of what the computer plays: the monitor of the default output, through the PulseAudio client API
// (served by PulseAudio or pipewire-pulse), in 20 ms packets of signed 16-bit interleaved samples.
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace veltrano::platform {

class AudioCaptureError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct AudioCaptureSettings {
  int sampleRate = 48000;  // the server resamples to it
  int channels = 2;
  std::string server;  // empty: the default ($PULSE_SERVER, then the user's session)
};

struct AudioPacket {
  std::vector<std::int16_t> samples;  // interleaved, frames * channels
  int sampleRate = 0;
  int channels = 0;
  int frames = 0;  // sampleRate / 50
  std::chrono::steady_clock::time_point timestamp;  // CLOCK_MONOTONIC, the packet's first sample; increasing
};

class SystemAudioCapture {
 public:
  // Both run on the sound client's own thread and must return quickly.
  using PacketHandler = std::function<void(AudioPacket packet)>;
  // The server went away or ended the recording. Called at most once, never after stop() was called.
  using StopHandler = std::function<void(const std::string& message)>;

  // Connects and starts recording; throws AudioCaptureError with a readable reason (no server reachable, format
  // refused, no monitor source).
  static std::unique_ptr<SystemAudioCapture> start(const AudioCaptureSettings& settings, PacketHandler onPacket,
                                                   StopHandler onStop);
  ~SystemAudioCapture();  // stop()
  SystemAudioCapture(const SystemAudioCapture&) = delete;
  SystemAudioCapture& operator=(const SystemAudioCapture&) = delete;

  // Ends the recording and the client thread. Idempotent; no handler runs once it returns. From inside a handler
  // it only silences the handlers; the destructor finishes the work.
  void stop();

  int framesPerPacket() const;

 private:
  struct Client;
  explicit SystemAudioCapture(std::shared_ptr<Client> client);
  std::shared_ptr<Client> client_;
};

}  // namespace veltrano::platform
