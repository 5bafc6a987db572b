#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <fstream>

#include "base/encoding.hpp"
#include "platform/crypto/random.hpp"
#include "platform/crypto/sha256.hpp"
#include "support/scoped_environment.hpp"
#include "support/temporary_folder.hpp"
#include "transport/veltrano_identity.hpp"

namespace veltrano {
namespace {

namespace fs = std::filesystem;
using testing::TemporaryFolder;
using testing::readText;

// Replaces the key file the way a user or a sync tool would: a new file renamed into place.
void replaceKeyFile(const platform::AccountKeyFile& store, const std::string& text) {
  const fs::path incoming = store.folder() / "incoming";
  std::ofstream(incoming, std::ios::binary) << text;
  fs::rename(incoming, store.filePath());
}

const std::string kRfcSeedText = "nWGxne_9WmC6hEr0kuwsxERJxWl7MmkZcDusAxyuf2A\n";
constexpr std::string_view kRfcAccountID = "21fe31dfa154a261626bf854046fd2271b7bed4b6abe45aa58877ef47f9721b9";

VeltranoIdentityError identityFailure(const std::function<void()>& step) {
  try {
    step();
  } catch (const VeltranoIdentityError& error) {
    return error;
  }
  ADD_FAILURE() << "the step did not fail";
  return VeltranoIdentityError::storage(0, "none");
}

TEST(VeltranoIdentity, LoadOrCreateStoresOneKeyReturnsItAgainAndFollowsAKeyPlacedByTheUser) {
  TemporaryFolder temp;
  platform::AccountKeyFile store(temp.path() / "veltrano");
  const VeltranoIdentity first = VeltranoIdentity::loadOrCreate(store);
  EXPECT_TRUE(first.isSynchronized());
  EXPECT_EQ(first.accountID(), hexEncode(platform::sha256(first.privateKey().publicKey())));
  const VeltranoIdentity second = VeltranoIdentity::loadOrCreate(store);
  EXPECT_EQ(second.accountID(), first.accountID());
  EXPECT_EQ(hexEncode(second.signalingKey().view()), hexEncode(first.signalingKey().view()));

  replaceKeyFile(store, kRfcSeedText);
  EXPECT_EQ(VeltranoIdentity::loadOrCreate(store).accountID(), kRfcAccountID);
  EXPECT_NE(first.accountID(), kRfcAccountID);
  EXPECT_EQ(readText(store.filePath()), kRfcSeedText) << "a loaded key is not rewritten";
}

TEST(VeltranoIdentity, AMalformedKeyIsInvalidAndLeftInPlaceAStorageFaultIsStorage) {
  TemporaryFolder temp;
  platform::AccountKeyFile store(temp.path());
  replaceKeyFile(store, "this is not a key\n");
  const VeltranoIdentityError invalid = identityFailure([&] { VeltranoIdentity::loadOrCreate(store); });
  EXPECT_EQ(invalid.code(), VeltranoIdentityError::Code::invalidKey);
  EXPECT_EQ(invalid.localizationKey(), "identity.error.invalid");
  EXPECT_EQ(readText(store.filePath()), "this is not a key\n");

  platform::AccountKeyFile underAFile(store.filePath() / "veltrano");
  const VeltranoIdentityError storage = identityFailure([&] { VeltranoIdentity::loadOrCreate(underAFile); });
  EXPECT_EQ(storage.code(), VeltranoIdentityError::Code::storage);
  EXPECT_EQ(storage.errorNumber(), ENOTDIR);
  EXPECT_EQ(storage.localizationKey(), "identity.error.storage_format");
}

TEST(VeltranoIdentity, DefaultStoreLivesUnderXdgDataHome) {
  TemporaryFolder temp;
  const testing::ScopedEnvironment environment("XDG_DATA_HOME", temp.path().c_str());
  const VeltranoIdentity identity = VeltranoIdentity::loadOrCreate();
  EXPECT_EQ(readText(temp.path() / "veltrano" / "account-signing-key"),
            base64urlEncode(identity.privateKey().seed().view()) + "\n");
}

TEST(VeltranoIdentity, ReloadIfChanged) {
  TemporaryFolder temp;
  platform::AccountKeyFile store(temp.path());
  const VeltranoIdentity current = VeltranoIdentity::loadOrCreate(store);

  EXPECT_FALSE(current.reloadIfChanged()) << "unchanged";

  // The same key rewritten: still the same account.
  replaceKeyFile(store, readText(store.filePath()));
  EXPECT_FALSE(current.reloadIfChanged()) << "same account";

  replaceKeyFile(store, kRfcSeedText);
  const auto reloaded = current.reloadIfChanged();
  ASSERT_TRUE(reloaded);
  EXPECT_EQ(reloaded->accountID(), kRfcAccountID);
  EXPECT_TRUE(reloaded->isSynchronized());
  EXPECT_NE(current.accountID(), kRfcAccountID) << "the current identity is left as it was";
  EXPECT_FALSE(reloaded->reloadIfChanged());

  replaceKeyFile(store, "garbage");
  EXPECT_EQ(identityFailure([&] { (void)current.reloadIfChanged(); }).code(), VeltranoIdentityError::Code::invalidKey);

  fs::remove(store.filePath());
  EXPECT_FALSE(current.reloadIfChanged()) << "no stored key";
  EXPECT_FALSE(fs::exists(store.filePath())) << "reloading never creates a key";
}

// Tampering and truncation are sealCombined's own tests; here, which key the identity seals with.
TEST(VeltranoIdentity, InMemoryIdentityNeverReloadsAndItsSignalingPayloadsOpenOnlyForTheSameAccount) {
  const VeltranoIdentity identity(platform::SigningKey::generate());
  EXPECT_FALSE(identity.isSynchronized());
  EXPECT_FALSE(identity.reloadIfChanged());
  const Bytes plaintext = platform::randomBytes(300);
  const Bytes box = identity.sealSignalingPayload(plaintext);
  EXPECT_EQ(identity.openSignalingPayload(box), plaintext);
  // Another device of the account derives the same key.
  const VeltranoIdentity sameAccount(platform::SigningKey::fromSeed(identity.privateKey().seed()));
  EXPECT_EQ(sameAccount.openSignalingPayload(box), plaintext);
  EXPECT_FALSE(VeltranoIdentity(platform::SigningKey::generate()).openSignalingPayload(box));
}

}  // namespace
}  // namespace veltrano
