#include "platform/h264/avc_decoder_configuration.hpp"

#include "platform/h264/h264_sps.hpp"

namespace veltrano::platform {
namespace {

constexpr std::uint8_t kNalTypeSps = 7;
constexpr std::uint8_t kNalTypePps = 8;

void appendSets(std::vector<std::uint8_t>& out, const std::vector<NalUnit>& sets, std::uint8_t type,
                const char* what) {
  for (const auto& set : sets) {
    if (set.empty() || (set[0] & 0x1F) != type) throw H264Error(std::string("Not a ") + what + " NAL unit");
    if (set.size() > 0xFFFF) throw H264Error(std::string(what) + " too large for the configuration record");
    out.push_back(static_cast<std::uint8_t>(set.size() >> 8));
    out.push_back(static_cast<std::uint8_t>(set.size()));
    out.insert(out.end(), set.begin(), set.end());
  }
}

// Profiles whose records carry chroma format and bit depths (ISO/IEC 14496-15, 5.3.3.1.2).
bool hasHighProfileExtension(std::uint8_t profile) {
  return profile == 100 || profile == 110 || profile == 122 || profile == 144;
}

}  // namespace

std::vector<std::uint8_t> makeAvcDecoderConfigurationRecord(const std::vector<NalUnit>& sps,
                                                            const std::vector<NalUnit>& pps) {
  if (sps.empty() || pps.empty()) throw H264Error("A configuration record needs an SPS and a PPS");
  if (sps.size() > 31) throw H264Error("Too many SPS for the configuration record");
  if (pps.size() > 255) throw H264Error("Too many PPS for the configuration record");
  const auto summary = parseSpsSummary(sps.front());
  if (!summary) throw H264Error("Cannot read the SPS");

  std::vector<std::uint8_t> out;
  out.push_back(1);  // configurationVersion
  out.push_back(summary->profileIdc);
  out.push_back(summary->constraintFlags);
  out.push_back(summary->levelIdc);
  out.push_back(0xFF);  // reserved bits, lengthSizeMinusOne = 3
  out.push_back(static_cast<std::uint8_t>(0xE0 | sps.size()));
  appendSets(out, sps, kNalTypeSps, "SPS");
  out.push_back(static_cast<std::uint8_t>(pps.size()));
  appendSets(out, pps, kNalTypePps, "PPS");
  if (hasHighProfileExtension(summary->profileIdc)) {
    out.push_back(static_cast<std::uint8_t>(0xFC | summary->chromaFormatIdc));
    out.push_back(static_cast<std::uint8_t>(0xF8 | summary->bitDepthLumaMinus8));
    out.push_back(static_cast<std::uint8_t>(0xF8 | summary->bitDepthChromaMinus8));
    out.push_back(0);  // numOfSequenceParameterSetExt
  }
  return out;
}

}  // namespace veltrano::platform
