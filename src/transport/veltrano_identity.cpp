#include "transport/veltrano_identity.hpp"

#include <chrono>
#include <mutex>

#include "platform/crypto/aes_gcm.hpp"
#include "platform/crypto/crypto_error.hpp"
#include "platform/crypto/hkdf.hpp"
#include "platform/crypto/sha256.hpp"

namespace veltrano {

namespace {

constexpr std::string_view kSignalingKeySalt = "Harbor payload key v2";
// A file modified this recently may still change within the same timestamp tick, so its stamp
// alone cannot prove that a cached identity is current.
constexpr std::chrono::seconds kStampSettleTime{2};

VeltranoIdentityError translate(const platform::KeyFileError& error) {
  if (error.kind() == platform::KeyFileError::Kind::malformed) return VeltranoIdentityError::invalidKey();
  return VeltranoIdentityError::storage(error.errorNumber(), error.what());
}

bool stampHasSettled(const platform::KeyFileStamp& stamp) {
  const auto now = std::chrono::duration_cast<std::chrono::nanoseconds>(
                       std::chrono::system_clock::now().time_since_epoch())
                       .count();
  return now - stamp.modifiedNanoseconds > std::chrono::nanoseconds(kStampSettleTime).count();
}

}  // namespace

struct VeltranoIdentity::State {
  platform::SigningKey key;
  std::string accountID;
  platform::SecureBytes signalingKey;
  std::optional<platform::AccountKeyFile> store;  // set for a file-backed (synchronised) identity
  std::optional<platform::KeyFileStamp> stamp;

  State(platform::SigningKey signingKey, std::optional<platform::AccountKeyFile> keyStore,
        std::optional<platform::KeyFileStamp> keyStamp)
      : key(std::move(signingKey)),
        accountID(hexEncode(platform::sha256(key.publicKey()))),
        signalingKey(platform::hkdfSha256(key.seed(), asBytes(kSignalingKeySalt), asBytes(accountID), 32)),
        store(std::move(keyStore)),
        stamp(keyStamp) {}
};

VeltranoIdentity::VeltranoIdentity(platform::SigningKey key)
    : state_(std::make_shared<const State>(std::move(key), std::nullopt, std::nullopt)) {}

VeltranoIdentity::VeltranoIdentity(std::shared_ptr<const State> state) : state_(std::move(state)) {}

VeltranoIdentity VeltranoIdentity::fromStored(const platform::AccountKeyFile& store,
                                              const platform::AccountKeyFile::Contents& contents) {
  try {
    return VeltranoIdentity(
        std::make_shared<const State>(platform::SigningKey::fromSeed(contents.seed), store, contents.stamp));
  } catch (const platform::CryptoError&) {
    throw VeltranoIdentityError::invalidKey();
  }
}

VeltranoIdentity VeltranoIdentity::loadOrCreate() {
  try {
    return loadOrCreate(platform::AccountKeyFile(platform::AccountKeyFile::defaultFolder()));
  } catch (const platform::KeyFileError& error) {
    throw translate(error);
  }
}

VeltranoIdentity VeltranoIdentity::loadOrCreate(const platform::AccountKeyFile& store) {
  // Servers ask for the identity on every handshake: keep the last one while its file stands still.
  static std::mutex cacheMutex;
  static std::optional<VeltranoIdentity> cached;

  try {
    const std::optional<platform::KeyFileStamp> current = store.stamp();
    {
      std::lock_guard lock(cacheMutex);
      if (current && cached && cached->state_->store->filePath() == store.filePath() &&
          cached->state_->stamp == current) {
        return *cached;
      }
    }
    platform::AccountKeyFile::Contents contents =
        store.readOrCreate([] { return platform::SigningKey::generate().seed(); });
    VeltranoIdentity identity = fromStored(store, contents);
    if (stampHasSettled(contents.stamp)) {
      std::lock_guard lock(cacheMutex);
      cached = identity;
    }
    return identity;
  } catch (const platform::KeyFileError& error) {
    throw translate(error);
  } catch (const platform::CryptoError& error) {
    throw VeltranoIdentityError::storage(0, error.what());
  }
}

const platform::SigningKey& VeltranoIdentity::privateKey() const { return state_->key; }

bool VeltranoIdentity::isSynchronized() const { return state_->store.has_value(); }

const std::string& VeltranoIdentity::accountID() const { return state_->accountID; }

const platform::SecureBytes& VeltranoIdentity::signalingKey() const { return state_->signalingKey; }

Bytes VeltranoIdentity::sealSignalingPayload(ByteView plaintext) const {
  return platform::sealCombined(state_->signalingKey, plaintext);
}

std::optional<Bytes> VeltranoIdentity::openSignalingPayload(ByteView box) const {
  return platform::openCombined(state_->signalingKey, box);
}

std::optional<VeltranoIdentity> VeltranoIdentity::reloadIfChanged() const {
  if (!isSynchronized()) return std::nullopt;
  const platform::AccountKeyFile& store = *state_->store;
  try {
    std::optional<platform::AccountKeyFile::Contents> contents = store.read();
    if (!contents) return std::nullopt;
    VeltranoIdentity reloaded = fromStored(store, *contents);
    if (reloaded.accountID() == accountID()) return std::nullopt;
    return reloaded;
  } catch (const platform::KeyFileError& error) {
    throw translate(error);
  }
}

}  // namespace veltrano
