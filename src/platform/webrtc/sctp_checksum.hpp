#pragma once
// The CRC32c in the common header of the SCTP packets we send. usrsctp leaves it to us: its own is a table walk
// that took a fifth of the network thread in bulk transfers, where the processor's CRC32 instruction (SSE4.2) is
// several times faster. Incoming packets are not checked again: only DTLS records that passed their
// authentication tag reach SCTP, which a changed byte cannot.
#include <cstdint>
#include <span>

namespace veltrano::webrtc {

// Writes the checksum of `packet` (its checksum field counted as zero) into that field, in the byte order usrsctp
// uses; a packet shorter than a common header is left as it is.
void stampSctpChecksum(std::span<std::uint8_t> packet);

}  // namespace veltrano::webrtc
