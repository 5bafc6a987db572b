#include "platform/h264/h264_sps.hpp"

#include <vector>

namespace veltrano::platform {
namespace {

constexpr std::uint8_t kNalTypeSps = 7;

// Payload bytes with the emulation prevention bytes (00 00 03) removed.
std::vector<std::uint8_t> unescapeRbsp(std::span<const std::uint8_t> bytes) {
  std::vector<std::uint8_t> out;
  out.reserve(bytes.size());
  int zeros = 0;
  for (std::uint8_t b : bytes) {
    if (zeros >= 2 && b == 3) {
      zeros = 0;
      continue;
    }
    zeros = b == 0 ? zeros + 1 : 0;
    out.push_back(b);
  }
  return out;
}

class BitReader {
 public:
  explicit BitReader(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}

  std::optional<std::uint32_t> bits(int count) {
    std::uint32_t value = 0;
    for (int i = 0; i < count; ++i) {
      if (position_ >= bytes_.size() * 8) return std::nullopt;
      const std::uint8_t byte = bytes_[position_ / 8];
      value = (value << 1) | ((byte >> (7 - position_ % 8)) & 1u);
      ++position_;
    }
    return value;
  }

  // Exp-Golomb ue(v); values above 32 bits are refused.
  std::optional<std::uint32_t> unsignedGolomb() {
    int leadingZeros = 0;
    for (;;) {
      auto bit = bits(1);
      if (!bit) return std::nullopt;
      if (*bit) break;
      if (++leadingZeros > 31) return std::nullopt;
    }
    auto rest = bits(leadingZeros);
    if (!rest) return std::nullopt;
    return static_cast<std::uint32_t>((std::uint64_t{1} << leadingZeros) - 1 + *rest);
  }

 private:
  std::span<const std::uint8_t> bytes_;
  std::size_t position_ = 0;
};

bool profileCarriesChromaFormat(std::uint8_t profile) {
  switch (profile) {
    case 100: case 110: case 122: case 244: case 44: case 83: case 86: case 118: case 128: case 138: case 139:
    case 134: case 135:
      return true;
    default:
      return false;
  }
}

}  // namespace

std::optional<SpsSummary> parseSpsSummary(std::span<const std::uint8_t> nal) {
  if (nal.empty() || (nal[0] & 0x1F) != kNalTypeSps) return std::nullopt;
  const auto rbsp = unescapeRbsp(nal.subspan(1));
  if (rbsp.size() < 3) return std::nullopt;
  SpsSummary sps;
  sps.profileIdc = rbsp[0];
  sps.constraintFlags = rbsp[1];
  sps.levelIdc = rbsp[2];
  BitReader reader{std::span<const std::uint8_t>(rbsp).subspan(3)};
  if (!reader.unsignedGolomb()) return std::nullopt;  // seq_parameter_set_id
  if (profileCarriesChromaFormat(sps.profileIdc)) {
    auto chroma = reader.unsignedGolomb();
    if (!chroma || *chroma > 3) return std::nullopt;
    sps.chromaFormatIdc = *chroma;
    if (*chroma == 3 && !reader.bits(1)) return std::nullopt;  // separate_colour_plane_flag
    auto luma = reader.unsignedGolomb();
    auto chromaDepth = reader.unsignedGolomb();
    if (!luma || !chromaDepth || *luma > 6 || *chromaDepth > 6) return std::nullopt;
    sps.bitDepthLumaMinus8 = *luma;
    sps.bitDepthChromaMinus8 = *chromaDepth;
  }
  return sps;
}

}  // namespace veltrano::platform
