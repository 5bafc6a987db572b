#include "transport/local_transport_session.hpp"

#include <algorithm>
#include <array>
#include <limits>

namespace veltrano {

namespace {

constexpr std::array<std::uint8_t, 4> kRecordMagic = {'V', 'L', 'E', '1'};
using Code = LocalTransportSecurityError::Code;

std::array<std::uint8_t, platform::AesGcm256::nonceSize> recordNonce(std::uint64_t sequence) {
  std::array<std::uint8_t, platform::AesGcm256::nonceSize> nonce{};
  for (int i = 0; i < 8; ++i) nonce[11 - i] = static_cast<std::uint8_t>(sequence >> (8 * i));
  return nonce;
}

}  // namespace

LocalTransportSession::LocalTransportSession(LocalTransportChannel channel, const platform::SecureBytes& sendKey,
                                             const platform::SecureBytes& receiveKey)
    : channel_(channel),
      maximumPlaintext_(maximumPlaintextSize(channel)),
      sendCipher_(sendKey),
      receiveCipher_(receiveKey) {}

Bytes LocalTransportSession::seal(ByteView plaintext) {
  if (plaintext.size() > maximumPlaintext_) throw LocalTransportSecurityError(Code::recordTooLarge);
  Bytes record(recordOverhead + plaintext.size());
  const auto out = std::span<std::uint8_t>(record);
  std::copy(kRecordMagic.begin(), kRecordMagic.end(), out.begin());
  const auto sealedLength = static_cast<std::uint32_t>(plaintext.size() + tagSize);
  for (int i = 0; i < 4; ++i) out[15 - i] = static_cast<std::uint8_t>(sealedLength >> (8 * i));

  std::lock_guard lock(sendMutex_);
  if (sendSequence_ == std::numeric_limits<std::uint64_t>::max()) {
    throw LocalTransportSecurityError(Code::unexpectedSequence);
  }
  for (int i = 0; i < 8; ++i) out[11 - i] = static_cast<std::uint8_t>(sendSequence_ >> (8 * i));
  sendCipher_.seal(recordNonce(sendSequence_), out.first(headerSize), plaintext,
                   out.subspan(headerSize, plaintext.size()), out.last(tagSize));
  ++sendSequence_;
  return record;
}

std::vector<Bytes> LocalTransportSession::open(ByteView bytes) {
  std::lock_guard lock(receiveMutex_);
  if (failure_) throw LocalTransportSecurityError(*failure_);
  try {
    return openLocked(bytes);
  } catch (const LocalTransportSecurityError& error) {
    failure_ = error.code();
    pending_ = Bytes();
    throw;
  }
}

std::size_t LocalTransportSession::checkHeader(ByteView header) const {
  if (!std::equal(kRecordMagic.begin(), kRecordMagic.end(), header.begin())) {
    throw LocalTransportSecurityError(Code::invalidRecord);
  }
  const std::size_t sealedLength = readBE32(header.data() + 12);
  if (sealedLength < tagSize) throw LocalTransportSecurityError(Code::invalidRecord);
  if (sealedLength - tagSize > maximumPlaintext_) throw LocalTransportSecurityError(Code::recordTooLarge);
  return sealedLength;
}

Bytes LocalTransportSession::openRecord(ByteView record) {
  const std::uint64_t sequence = readBE64(record.data() + 4);
  if (sequence != receiveSequence_ || receiveSequence_ == std::numeric_limits<std::uint64_t>::max()) {
    throw LocalTransportSecurityError(Code::unexpectedSequence);
  }
  const std::size_t plaintextSize = record.size() - recordOverhead;
  Bytes plaintext(plaintextSize);
  if (!receiveCipher_.open(recordNonce(sequence), record.first(headerSize), record.subspan(headerSize, plaintextSize),
                           record.last(tagSize), plaintext)) {
    throw LocalTransportSecurityError(Code::authenticationFailed);
  }
  ++receiveSequence_;
  return plaintext;
}

std::vector<Bytes> LocalTransportSession::openLocked(ByteView bytes) {
  std::vector<Bytes> plaintexts;
  while (!bytes.empty()) {
    if (pending_.empty() && bytes.size() >= headerSize) {
      // Whole records straight from the read, without a copy into the buffer.
      const std::size_t recordSize = headerSize + checkHeader(bytes.first(headerSize));
      if (bytes.size() >= recordSize) {
        plaintexts.push_back(openRecord(bytes.first(recordSize)));
        bytes = bytes.subspan(recordSize);
        continue;
      }
    }
    if (pending_.size() < headerSize) {
      const std::size_t take = std::min(headerSize - pending_.size(), bytes.size());
      pending_.insert(pending_.end(), bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(take));
      bytes = bytes.subspan(take);
      if (pending_.size() < headerSize) break;
      pendingSealedLength_ = checkHeader(pending_);
      pending_.reserve(headerSize + pendingSealedLength_);
    }
    const std::size_t take = std::min(headerSize + pendingSealedLength_ - pending_.size(), bytes.size());
    pending_.insert(pending_.end(), bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(take));
    bytes = bytes.subspan(take);
    if (pending_.size() == headerSize + pendingSealedLength_) {
      plaintexts.push_back(openRecord(pending_));
      pending_.clear();
    }
  }
  return plaintexts;
}

}  // namespace veltrano
