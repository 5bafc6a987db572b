#pragma once
// The media envelope "VLV1" that every video and audio packet travels in, locally (one envelope per record) and
// to remote peers: magic, a type byte, a 32-bit big-endian payload length, the payload.
#include <cstddef>
#include <cstdint>
#include <optional>

#include "base/encoding.hpp"
#include "media/audio_packet.hpp"
#include "media/encoded_video_frame.hpp"

namespace veltrano {

enum class MediaEnvelopeType : std::uint8_t {
  videoConfiguration = 1,
  videoFrame = 2,
  audioConfiguration = 3,
  audioFrame = 4,
};

inline constexpr std::size_t mediaEnvelopeHeaderSize = 9;
inline constexpr std::uint8_t audioSampleFormatS16LE = 1;

Bytes makeMediaEnvelope(MediaEnvelopeType type, ByteView payload);

// Coded size and the AVCDecoderConfigurationRecord of the sets. Throws platform::H264Error when the sets cannot
// make a record (no SPS or PPS, unreadable SPS, wrong NAL types).
Bytes makeVideoConfigurationEnvelope(const VideoParameterSets& parameterSets);
Bytes makeVideoFrameEnvelope(const EncodedVideoFrame& frame);
Bytes makeAudioConfigurationEnvelope(const AudioFormat& format);
// Each frame carries its own rate and channel count: a remote peer may never see a configuration.
Bytes makeAudioFrameEnvelope(const AudioPacket& packet);

// --- Readers (what a client does; the host uses them in tests and tools) ---

struct MediaEnvelopeView {
  MediaEnvelopeType type;
  ByteView payload;
};
// nullopt unless `bytes` is exactly one envelope of a known type (magic, and length matching what follows).
std::optional<MediaEnvelopeView> parseMediaEnvelope(ByteView bytes);

struct VideoConfigurationPayload {
  std::uint32_t codedWidth = 0;
  std::uint32_t codedHeight = 0;
  Bytes decoderConfigurationRecord;
};
struct VideoFramePayload {
  bool keyframe = false;
  std::uint64_t presentationTimeMicros = 0;
  Bytes accessUnit;
};

// Each nullopt when the payload is too short or its fixed fields are not what this version writes.
std::optional<VideoConfigurationPayload> parseVideoConfigurationPayload(ByteView payload);
std::optional<VideoFramePayload> parseVideoFramePayload(ByteView payload);
std::optional<AudioFormat> parseAudioConfigurationPayload(ByteView payload);
// The packet's format has the frame's rate and channels; framesPerPacket is what the samples hold.
std::optional<AudioPacket> parseAudioFramePayload(ByteView payload);

}  // namespace veltrano
