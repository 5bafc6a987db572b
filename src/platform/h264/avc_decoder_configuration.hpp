#pragma once
// The ISO/IEC 14496-15 AVCDecoderConfigurationRecord ("avcC") that tells a decoder how to read length-prefixed
// access units: profile, compatibility and level of the first SPS, 4-byte lengths, the parameter sets.
#include <cstdint>
#include <vector>

#include "platform/h264/h264_types.hpp"

namespace veltrano::platform {

// Throws H264Error when there is no SPS or PPS, the first SPS cannot be read, a set is not of its NAL type, or the
// counts and sizes do not fit the record.
std::vector<std::uint8_t> makeAvcDecoderConfigurationRecord(const std::vector<NalUnit>& sps,
                                                            const std::vector<NalUnit>& pps);

}  // namespace veltrano::platform
