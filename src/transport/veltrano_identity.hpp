#pragma once
// The account signing identity: the Ed25519 key pair that every device of the account holds,
// and what is derived from it. A value: copies share the immutable key.
//
// The key lives in the account key file. A user may replace that file with the key another device
// of the account holds, so a file-backed identity counts as synchronised and `reloadIfChanged`
// adopts such a replacement.
#include <memory>
#include <optional>
#include <string>

#include "base/encoding.hpp"
#include "platform/crypto/secure_bytes.hpp"
#include "platform/crypto/signing_key.hpp"
#include "platform/keystore/account_key_file.hpp"
#include "transport/veltrano_identity_error.hpp"

namespace veltrano {

class VeltranoIdentity {
 public:
  // An identity held only in memory (not synchronised): tools and tests.
  explicit VeltranoIdentity(platform::SigningKey key);

  // Reads the key from the default key file, or creates and stores a new one. Cheap when the file
  // has not changed since the last call. Throws VeltranoIdentityError.
  static VeltranoIdentity loadOrCreate();
  static VeltranoIdentity loadOrCreate(const platform::AccountKeyFile& store);

  const platform::SigningKey& privateKey() const;
  bool isSynchronized() const;

  // Lowercase hex SHA-256 of the raw public key.
  const std::string& accountID() const;
  // HKDF-SHA256(seed, salt "Harbor payload key v2", info accountID), 32 bytes.
  const platform::SecureBytes& signalingKey() const;

  // AES-256-GCM under the signaling key, random nonce, no additional data:
  // nonce(12) ‖ ciphertext ‖ tag(16).
  Bytes sealSignalingPayload(ByteView plaintext) const;
  // nullopt for a box shorter than 28 bytes or one that does not authenticate.
  std::optional<Bytes> openSignalingPayload(ByteView box) const;

  // For a synchronised identity, reads the store again: a stored key with another accountID
  // gives a new identity; no stored key or the same account gives none. Changes nothing itself.
  // Throws VeltranoIdentityError.
  std::optional<VeltranoIdentity> reloadIfChanged() const;

 private:
  struct State;
  explicit VeltranoIdentity(std::shared_ptr<const State> state);
  static VeltranoIdentity fromStored(const platform::AccountKeyFile& store,
                                     const platform::AccountKeyFile::Contents& contents);

  std::shared_ptr<const State> state_;
};

}  // namespace veltrano
