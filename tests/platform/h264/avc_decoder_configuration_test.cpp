#include "platform/h264/avc_decoder_configuration.hpp"

#include <gtest/gtest.h>

#include "platform/h264/avc_record_reader.hpp"
#include "platform/h264/h264_sps.hpp"
#include "platform/h264/x264_encoder.hpp"

namespace veltrano::platform {
namespace {

using Bytes = std::vector<std::uint8_t>;
using test::readAvcRecord;

TEST(AvcDecoderConfigurationRecord, CarriesTheEncodersSetsAndItsHighProfileFields) {
  X264Encoder encoder({.width = 320, .height = 240, .framesPerSecond = 30, .bitRate = 1'000'000});
  const auto& sets = *encoder.parameterSets();
  ASSERT_EQ(sets.sps.size(), 1u);
  ASSERT_EQ(sets.pps.size(), 1u);
  const Bytes record = makeAvcDecoderConfigurationRecord(sets.sps, sets.pps);
  const auto parsed = readAvcRecord(record);

  EXPECT_EQ(parsed.version, 1);
  EXPECT_EQ(parsed.profile, sets.sps[0][1]);
  EXPECT_EQ(parsed.compatibility, sets.sps[0][2]);
  EXPECT_EQ(parsed.level, sets.sps[0][3]);
  EXPECT_EQ(parsed.profile, 100);  // High
  EXPECT_GE(parsed.level, 10);
  EXPECT_EQ(parsed.lengthByte, 0xFF);  // 4-byte lengths
  EXPECT_EQ(parsed.spsByte & 0xE0, 0xE0);
  EXPECT_EQ(parsed.sps, sets.sps);
  EXPECT_EQ(parsed.pps, sets.pps);
  // High: 4:2:0, 8-bit luma and chroma, no SPS extensions.
  EXPECT_EQ(parsed.extension, (Bytes{0xFD, 0xF8, 0xF8, 0x00}));
}

TEST(AvcDecoderConfigurationRecord, ReadsTheSpsThroughEmulationPreventionBytesAndCountsEveryPps) {
  // High profile, level 0, sps id 127, 4:4:4 (with its separate-plane flag), 10-bit luma, 12-bit chroma.
  // The 00 00 03 01 in the middle carries an emulation prevention byte.
  const Bytes sps{0x67, 0x64, 0x00, 0x00, 0x03, 0x01, 0x00, 0x43, 0x2C};
  const auto summary = parseSpsSummary(sps);
  ASSERT_TRUE(summary);
  EXPECT_EQ(summary->chromaFormatIdc, 3u);
  EXPECT_EQ(summary->bitDepthLumaMinus8, 2u);
  EXPECT_EQ(summary->bitDepthChromaMinus8, 4u);
  const Bytes pps{0x68, 0xCE, 0x3C, 0x80};
  const auto parsed = readAvcRecord(makeAvcDecoderConfigurationRecord({sps}, {pps, pps}));
  EXPECT_EQ(parsed.pps, (std::vector<Bytes>{pps, pps}));
  EXPECT_EQ(parsed.extension, (Bytes{0xFF, 0xFA, 0xFC, 0x00}));
}

TEST(AvcDecoderConfigurationRecord, RefusesWhatItCannotDescribe) {
  const Bytes sps{0x67, 0x42, 0xC0, 0x1E, 0xDA};
  const Bytes pps{0x68, 0xCE, 0x3C, 0x80};
  EXPECT_THROW(makeAvcDecoderConfigurationRecord({}, {pps}), H264Error);
  EXPECT_THROW(makeAvcDecoderConfigurationRecord({sps}, {}), H264Error);
  EXPECT_THROW(makeAvcDecoderConfigurationRecord({pps}, {pps}), H264Error);          // not an SPS
  EXPECT_THROW(makeAvcDecoderConfigurationRecord({sps}, {sps}), H264Error);          // not a PPS
  EXPECT_THROW(makeAvcDecoderConfigurationRecord({{0x67, 0x64}}, {pps}), H264Error);  // cut short
  EXPECT_THROW(makeAvcDecoderConfigurationRecord({{0x67, 0x64, 0, 0x1E}}, {pps}), H264Error);  // no sps id
  EXPECT_THROW(makeAvcDecoderConfigurationRecord(std::vector<Bytes>(32, sps), {pps}), H264Error);
  Bytes huge(70000, 0x11);
  huge[0] = 0x68;
  EXPECT_THROW(makeAvcDecoderConfigurationRecord({sps}, {huge}), H264Error);
}

}  // namespace
}  // namespace veltrano::platform
