#include "platform/webrtc/sctp_checksum.hpp"

#include <cstring>

#include <usrsctp.h>

#if defined(__x86_64__)
#include <nmmintrin.h>
#endif

namespace veltrano::webrtc {

namespace {

constexpr std::size_t commonHeaderSize = 12;
constexpr std::size_t checksumOffset = 8;

#if defined(__x86_64__)
__attribute__((target("sse4.2"))) std::uint32_t hardwareCrc32c(const std::uint8_t* data, std::size_t length) {
  std::uint64_t crc = 0xFFFFFFFFu;
  for (; length >= 8; data += 8, length -= 8) {
    std::uint64_t word = 0;
    std::memcpy(&word, data, sizeof word);
    crc = _mm_crc32_u64(crc, word);
  }
  auto crc32 = static_cast<std::uint32_t>(crc);
  for (; length > 0; ++data, --length) crc32 = _mm_crc32_u8(crc32, *data);
  // Complemented and stored as it is on a little-endian machine, as usrsctp does.
  return ~crc32;
}

bool hasCrc32Instruction() {
  static const bool supported = __builtin_cpu_supports("sse4.2");
  return supported;
}
#endif

}  // namespace

void stampSctpChecksum(std::span<std::uint8_t> packet) {
  if (packet.size() < commonHeaderSize) return;
  std::memset(packet.data() + checksumOffset, 0, sizeof(std::uint32_t));
  std::uint32_t checksum = 0;
#if defined(__x86_64__)
  if (hasCrc32Instruction()) {
    checksum = hardwareCrc32c(packet.data(), packet.size());
  } else {
    checksum = usrsctp_crc32c(packet.data(), packet.size());
  }
#else
  checksum = usrsctp_crc32c(packet.data(), packet.size());
#endif
  std::memcpy(packet.data() + checksumOffset, &checksum, sizeof checksum);
}

}  // namespace veltrano::webrtc
