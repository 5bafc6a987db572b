#pragma once
// An established local connection's record layer ("VLE1"): seals outgoing plaintexts and opens
// incoming bytes, each direction under its own key with a strict sequence starting at 0.
// Independent of any socket: the connection feeds `open` with what it reads and writes what
// `seal` returns, in the order `seal` returned it.
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>
#include <vector>

#include "base/encoding.hpp"
#include "platform/crypto/aes_gcm.hpp"
#include "platform/crypto/secure_bytes.hpp"
#include "transport/local_transport_channel.hpp"
#include "transport/local_transport_security_error.hpp"

namespace veltrano {

class LocalTransportSession {
 public:
  static constexpr std::size_t headerSize = 16;
  static constexpr std::size_t tagSize = 16;
  static constexpr std::size_t recordOverhead = headerSize + tagSize;

  // Keys are the 32-byte AES-256-GCM keys of each direction, as seen from this side.
  LocalTransportSession(LocalTransportChannel channel, const platform::SecureBytes& sendKey,
                        const platform::SecureBytes& receiveKey);
  LocalTransportSession(const LocalTransportSession&) = delete;
  LocalTransportSession& operator=(const LocalTransportSession&) = delete;

  LocalTransportChannel channel() const { return channel_; }

  // One record ready to send, consuming the next send sequence. Throws recordTooLarge above the
  // channel's limit and unexpectedSequence once the sequence is exhausted. Safe from any thread;
  // the caller must write records in the order they were sealed: with more than one sending thread,
  // seal inside the connection's send lock (TcpConnection::sendMade).
  Bytes seal(ByteView plaintext);

  // Appends one network read to the receive buffer and returns the plaintexts of every record now
  // complete, in order. A header is judged as soon as its 16 bytes are here, so an oversized or
  // foreign record is refused before its body is buffered. Throws invalidRecord, recordTooLarge,
  // unexpectedSequence or authenticationFailed; after that the receive side stays failed (and
  // records that preceded the bad one in the same read are not returned: the connection is over).
  std::vector<Bytes> open(ByteView bytes);

 private:
  friend struct LocalTransportSessionTestAccess;

  // Checks a record header and returns its sealed length (ciphertext + tag).
  std::size_t checkHeader(ByteView header) const;
  Bytes openRecord(ByteView record);
  std::vector<Bytes> openLocked(ByteView bytes);

  const LocalTransportChannel channel_;
  const std::size_t maximumPlaintext_;

  std::mutex sendMutex_;
  platform::AesGcm256 sendCipher_;
  std::uint64_t sendSequence_ = 0;

  std::mutex receiveMutex_;
  platform::AesGcm256 receiveCipher_;
  std::uint64_t receiveSequence_ = 0;
  Bytes pending_;                        // a partial record: its header first
  std::size_t pendingSealedLength_ = 0;  // known once pending_ holds a whole header
  std::optional<LocalTransportSecurityError::Code> failure_;
};

}  // namespace veltrano
