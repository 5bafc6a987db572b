#include <gtest/gtest.h>

#include "media/media_envelope.hpp"
#include "platform/h264/h264_types.hpp"

using namespace veltrano;

namespace {

VideoParameterSets baselineSets() {
  VideoParameterSets sets;
  sets.codedWidth = 1920;
  sets.codedHeight = 1080;
  sets.sps = {{0x67, 0x42, 0xC0, 0x1E, 0xDA, 0x02, 0x80, 0xBF, 0xE5}};
  sets.pps = {{0x68, 0xCE, 0x3C, 0x80}};
  return sets;
}

TEST(MediaEnvelope, HeaderIsMagicTypeAndBigEndianLength) {
  const Bytes payload(300, 0xAB);
  const Bytes envelope = makeMediaEnvelope(MediaEnvelopeType::videoFrame, payload);
  ASSERT_EQ(envelope.size(), 9u + 300u);
  EXPECT_EQ(Bytes(envelope.begin(), envelope.begin() + 9), (Bytes{'V', 'L', 'V', '1', 2, 0, 0, 0x01, 0x2C}));

  auto parsed = parseMediaEnvelope(envelope);
  ASSERT_TRUE(parsed);
  EXPECT_EQ(parsed->type, MediaEnvelopeType::videoFrame);
  EXPECT_EQ(Bytes(parsed->payload.begin(), parsed->payload.end()), payload);
}

TEST(MediaEnvelope, ReaderRefusesWrongMagicUnknownTypeAndLengthMismatch) {
  Bytes envelope = makeMediaEnvelope(MediaEnvelopeType::audioFrame, Bytes(20, 1));
  EXPECT_FALSE(parseMediaEnvelope(ByteView(envelope).first(8)));
  EXPECT_FALSE(parseMediaEnvelope(ByteView(envelope).first(envelope.size() - 1)));
  Bytes longer = envelope;
  longer.push_back(0);
  EXPECT_FALSE(parseMediaEnvelope(longer));
  Bytes unknown = envelope;
  unknown[4] = 5;
  EXPECT_FALSE(parseMediaEnvelope(unknown));
  Bytes foreign = envelope;
  foreign[3] = '2';
  EXPECT_FALSE(parseMediaEnvelope(foreign));
}

TEST(MediaEnvelope, VideoConfigurationCarriesCodedSizeAndDecoderRecord) {
  const Bytes envelope = makeVideoConfigurationEnvelope(baselineSets());
  auto parsed = parseMediaEnvelope(envelope);
  ASSERT_TRUE(parsed);
  EXPECT_EQ(parsed->type, MediaEnvelopeType::videoConfiguration);
  auto payload = parseVideoConfigurationPayload(parsed->payload);
  ASSERT_TRUE(payload);
  EXPECT_EQ(payload->codedWidth, 1920u);
  EXPECT_EQ(payload->codedHeight, 1080u);
  const Bytes expectedRecord = {1,    0x42, 0xC0, 0x1E, 0xFF, 0xE1, 0x00, 0x09, 0x67, 0x42, 0xC0, 0x1E, 0xDA,
                                0x02, 0x80, 0xBF, 0xE5, 0x01, 0x00, 0x04, 0x68, 0xCE, 0x3C, 0x80};
  EXPECT_EQ(payload->decoderConfigurationRecord, expectedRecord);
}

TEST(MediaEnvelope, VideoFrameCarriesFlagsTimeAndAccessUnit) {
  EncodedVideoFrame frame;
  frame.keyframe = true;
  frame.presentationTimeMicros = 0x0102030405060708ULL;
  frame.accessUnit = {0, 0, 0, 2, 0x65, 0x88};
  const Bytes envelope = makeVideoFrameEnvelope(frame);
  EXPECT_EQ(Bytes(envelope.begin() + 9, envelope.begin() + 21),
            (Bytes{1, 0, 0, 0, 1, 2, 3, 4, 5, 6, 7, 8}));
  auto payload = parseVideoFramePayload(parseMediaEnvelope(envelope)->payload);
  ASSERT_TRUE(payload);
  EXPECT_TRUE(payload->keyframe);
  EXPECT_EQ(payload->presentationTimeMicros, frame.presentationTimeMicros);
  EXPECT_EQ(payload->accessUnit, frame.accessUnit);

  frame.keyframe = false;
  EXPECT_FALSE(parseVideoFramePayload(parseMediaEnvelope(makeVideoFrameEnvelope(frame))->payload)->keyframe);
  EXPECT_FALSE(parseVideoFramePayload(Bytes(11, 0)));
}

TEST(MediaEnvelope, AudioConfigurationLayout) {
  const AudioFormat format{24000, 1, 480};
  const Bytes envelope = makeAudioConfigurationEnvelope(format);
  EXPECT_EQ(envelope, (Bytes{'V', 'L', 'V', '1', 3, 0, 0, 0, 10, 1, 1, 1, 0, 0, 0, 0x5D, 0xC0, 0x01, 0xE0}));
  auto parsed = parseAudioConfigurationPayload(parseMediaEnvelope(envelope)->payload);
  ASSERT_TRUE(parsed);
  EXPECT_EQ(*parsed, format);
  Bytes otherVersion(envelope.begin() + 9, envelope.end());
  otherVersion[0] = 2;
  EXPECT_FALSE(parseAudioConfigurationPayload(otherVersion));
}

TEST(MediaEnvelope, AudioFrameDescribesItself) {
  AudioPacket packet;
  packet.presentationTimeMicros = 20000;
  packet.format = AudioFormat{48000, 2, 960};
  packet.samples.assign(960 * 2 * 2, 0x11);
  const Bytes envelope = makeAudioFrameEnvelope(packet);
  ASSERT_EQ(envelope.size(), 9u + 16u + 3840u);
  EXPECT_EQ(Bytes(envelope.begin() + 9, envelope.begin() + 25),
            (Bytes{0, 0, 0, 0, 0, 0, 0x4E, 0x20, 0, 0, 0xBB, 0x80, 2, 1, 0, 0}));
  auto parsed = parseAudioFramePayload(parseMediaEnvelope(envelope)->payload);
  ASSERT_TRUE(parsed);
  EXPECT_EQ(parsed->presentationTimeMicros, 20000u);
  EXPECT_EQ(parsed->format, packet.format);
  EXPECT_EQ(parsed->samples, packet.samples);

  Bytes oddSamples(envelope.begin() + 9, envelope.end());
  oddSamples.push_back(0);
  EXPECT_FALSE(parseAudioFramePayload(oddSamples));
}

}  // namespace
