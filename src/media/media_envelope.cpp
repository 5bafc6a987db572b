#include "media/media_envelope.hpp"

#include <algorithm>
#include <array>
#include <limits>
#include <stdexcept>

#include "platform/h264/avc_decoder_configuration.hpp"

namespace veltrano {

namespace {

constexpr std::array<std::uint8_t, 4> magic = {'V', 'L', 'V', '1'};
constexpr std::size_t videoFrameHeaderSize = 12;
constexpr std::size_t audioConfigurationSize = 10;
constexpr std::size_t audioFrameHeaderSize = 16;
constexpr std::uint8_t audioConfigurationVersion = 1;
constexpr std::uint8_t keyframeFlag = 0x01;

Bytes withHeader(MediaEnvelopeType type, std::size_t payloadSize) {
  if (payloadSize > std::numeric_limits<std::uint32_t>::max()) throw std::length_error("media payload too large");
  Bytes out;
  out.reserve(mediaEnvelopeHeaderSize + payloadSize);
  out.insert(out.end(), magic.begin(), magic.end());
  out.push_back(static_cast<std::uint8_t>(type));
  appendBE32(out, static_cast<std::uint32_t>(payloadSize));
  return out;
}

bool isKnownType(std::uint8_t type) { return type >= 1 && type <= 4; }

}  // namespace

Bytes makeMediaEnvelope(MediaEnvelopeType type, ByteView payload) {
  auto out = withHeader(type, payload.size());
  out.insert(out.end(), payload.begin(), payload.end());
  return out;
}

Bytes makeVideoConfigurationEnvelope(const VideoParameterSets& parameterSets) {
  const auto record = platform::makeAvcDecoderConfigurationRecord(parameterSets.sps, parameterSets.pps);
  auto out = withHeader(MediaEnvelopeType::videoConfiguration, 8 + record.size());
  appendBE32(out, parameterSets.codedWidth);
  appendBE32(out, parameterSets.codedHeight);
  out.insert(out.end(), record.begin(), record.end());
  return out;
}

Bytes makeVideoFrameEnvelope(const EncodedVideoFrame& frame) {
  auto out = withHeader(MediaEnvelopeType::videoFrame, videoFrameHeaderSize + frame.accessUnit.size());
  out.push_back(frame.keyframe ? keyframeFlag : 0);
  out.insert(out.end(), 3, 0);
  appendBE64(out, frame.presentationTimeMicros);
  out.insert(out.end(), frame.accessUnit.begin(), frame.accessUnit.end());
  return out;
}

Bytes makeAudioConfigurationEnvelope(const AudioFormat& format) {
  auto out = withHeader(MediaEnvelopeType::audioConfiguration, audioConfigurationSize);
  out.push_back(audioConfigurationVersion);
  out.push_back(audioSampleFormatS16LE);
  out.push_back(format.channels);
  out.push_back(0);
  appendBE32(out, format.sampleRate);
  appendBE16(out, format.framesPerPacket);
  return out;
}

Bytes makeAudioFrameEnvelope(const AudioPacket& packet) {
  auto out = withHeader(MediaEnvelopeType::audioFrame, audioFrameHeaderSize + packet.samples.size());
  appendBE64(out, packet.presentationTimeMicros);
  appendBE32(out, packet.format.sampleRate);
  out.push_back(packet.format.channels);
  out.push_back(audioSampleFormatS16LE);
  out.insert(out.end(), 2, 0);
  out.insert(out.end(), packet.samples.begin(), packet.samples.end());
  return out;
}

std::optional<MediaEnvelopeView> parseMediaEnvelope(ByteView bytes) {
  if (bytes.size() < mediaEnvelopeHeaderSize) return std::nullopt;
  if (!std::equal(magic.begin(), magic.end(), bytes.begin())) return std::nullopt;
  if (!isKnownType(bytes[4])) return std::nullopt;
  const std::uint32_t length = readBE32(bytes.data() + 5);
  if (bytes.size() - mediaEnvelopeHeaderSize != length) return std::nullopt;
  return MediaEnvelopeView{static_cast<MediaEnvelopeType>(bytes[4]), bytes.subspan(mediaEnvelopeHeaderSize)};
}

std::optional<VideoConfigurationPayload> parseVideoConfigurationPayload(ByteView payload) {
  if (payload.size() < 8 + 7) return std::nullopt;  // sizes, then at least the record's fixed bytes
  VideoConfigurationPayload parsed;
  parsed.codedWidth = readBE32(payload.data());
  parsed.codedHeight = readBE32(payload.data() + 4);
  parsed.decoderConfigurationRecord.assign(payload.begin() + 8, payload.end());
  if (parsed.decoderConfigurationRecord[0] != 1) return std::nullopt;  // configurationVersion
  return parsed;
}

std::optional<VideoFramePayload> parseVideoFramePayload(ByteView payload) {
  if (payload.size() < videoFrameHeaderSize) return std::nullopt;
  VideoFramePayload parsed;
  parsed.keyframe = (payload[0] & keyframeFlag) != 0;
  parsed.presentationTimeMicros = readBE64(payload.data() + 4);
  parsed.accessUnit.assign(payload.begin() + videoFrameHeaderSize, payload.end());
  return parsed;
}

std::optional<AudioFormat> parseAudioConfigurationPayload(ByteView payload) {
  if (payload.size() < audioConfigurationSize) return std::nullopt;
  if (payload[0] != audioConfigurationVersion || payload[1] != audioSampleFormatS16LE) return std::nullopt;
  AudioFormat format;
  format.channels = payload[2];
  format.sampleRate = readBE32(payload.data() + 4);
  format.framesPerPacket = readBE16(payload.data() + 8);
  if (format.channels == 0) return std::nullopt;
  return format;
}

std::optional<AudioPacket> parseAudioFramePayload(ByteView payload) {
  if (payload.size() < audioFrameHeaderSize) return std::nullopt;
  if (payload[13] != audioSampleFormatS16LE) return std::nullopt;
  AudioPacket packet;
  packet.presentationTimeMicros = readBE64(payload.data());
  packet.format.sampleRate = readBE32(payload.data() + 8);
  packet.format.channels = payload[12];
  if (packet.format.channels == 0) return std::nullopt;
  packet.samples.assign(payload.begin() + audioFrameHeaderSize, payload.end());
  const std::size_t frameBytes = std::size_t{packet.format.channels} * 2;
  if (packet.samples.size() % frameBytes != 0) return std::nullopt;
  const std::size_t frames = packet.samples.size() / frameBytes;
  if (frames > std::numeric_limits<std::uint16_t>::max()) return std::nullopt;
  packet.format.framesPerPacket = static_cast<std::uint16_t>(frames);
  return packet;
}

}  // namespace veltrano
