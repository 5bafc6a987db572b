#pragma once
// What the capture service hands to the audio server.
#include <cstdint>

#include "base/encoding.hpp"

namespace veltrano {

struct AudioFormat {
  std::uint32_t sampleRate = 48000;
  std::uint8_t channels = 2;
  std::uint16_t framesPerPacket = 960;  // 20 ms
  bool operator==(const AudioFormat&) const = default;
};

struct AudioPacket {
  std::uint64_t presentationTimeMicros = 0;
  AudioFormat format;
  Bytes samples;  // signed 16-bit little-endian, interleaved
};

// AudioStreamServer implements it. Called from any thread.
class AudioPacketSink {
 public:
  virtual ~AudioPacketSink() = default;
  // The configuration is sent to every client before any frame; a change is sent when it happens.
  virtual void submitAudioConfiguration(AudioFormat format) = 0;
  virtual void submitAudioPacket(AudioPacket packet) = 0;
};

}  // namespace veltrano
