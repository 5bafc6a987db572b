#pragma once
// Reads an AVCDecoderConfigurationRecord back field by field, the way a tablet's demuxer does. Throws
// std::out_of_range when the record ends early or a set runs past it.
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <vector>

namespace veltrano::test {

struct AvcRecord {
  using Bytes = std::vector<std::uint8_t>;
  std::uint8_t version = 0, profile = 0, compatibility = 0, level = 0, lengthByte = 0, spsByte = 0;
  std::vector<Bytes> sps, pps;
  Bytes extension;
};

inline AvcRecord readAvcRecord(const std::vector<std::uint8_t>& r) {
  AvcRecord p;
  std::size_t at = 0;
  auto byte = [&]() -> std::uint8_t {
    if (at >= r.size()) throw std::out_of_range("record ends early");
    return r[at++];
  };
  auto sets = [&](std::size_t count, std::vector<AvcRecord::Bytes>& into) {
    for (std::size_t i = 0; i < count; ++i) {
      const std::size_t length = (std::size_t{byte()} << 8) | byte();
      if (at + length > r.size()) throw std::out_of_range("set runs past the record");
      const auto first = r.begin() + static_cast<std::ptrdiff_t>(at);
      into.emplace_back(first, first + static_cast<std::ptrdiff_t>(length));
      at += length;
    }
  };
  p.version = byte();
  p.profile = byte();
  p.compatibility = byte();
  p.level = byte();
  p.lengthByte = byte();
  p.spsByte = byte();
  sets(p.spsByte & 0x1F, p.sps);
  sets(byte(), p.pps);
  p.extension.assign(r.begin() + static_cast<std::ptrdiff_t>(at), r.end());
  return p;
}

}  // namespace veltrano::test
