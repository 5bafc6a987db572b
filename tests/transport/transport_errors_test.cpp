#include <gtest/gtest.h>

#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "core/localization.hpp"
#include "transport/local_transport_channel.hpp"
#include "transport/local_transport_security_error.hpp"
#include "transport/veltrano_identity_error.hpp"

namespace veltrano {
namespace {

// An error's localization key and description.
struct Described {
  std::string key;
  std::string description;
};

struct ErrorCase {
  std::string name;
  std::function<Described()> make;
  std::string key;
  std::string englishText;
};

template <class Error>
Described describe(const Error& error) {
  return {std::string(error.localizationKey()), error.what()};
}

std::vector<ErrorCase> errorCases() {
  using Code = LocalTransportSecurityError::Code;
  const auto transport = [](Code code) {
    return [code] { return describe(LocalTransportSecurityError(code)); };
  };
  return {
      {"identityUnavailable", transport(Code::identityUnavailable), "local.transport.error.identity_unavailable",
       "local transport: the account key is unavailable"},
      {"invalidHandshake", transport(Code::invalidHandshake), "local.transport.error.invalid_handshake",
       "local transport: invalid handshake message"},
      {"authenticationFailed", transport(Code::authenticationFailed), "local.transport.error.authentication_failed",
       "local transport: authentication failed"},
      {"handshakeTimedOut", transport(Code::handshakeTimedOut), "local.transport.error.handshake_timed_out",
       "local transport: handshake timed out"},
      {"connectionClosed", transport(Code::connectionClosed), "local.transport.error.connection_closed",
       "local transport: connection closed"},
      {"invalidRecord", transport(Code::invalidRecord), "local.transport.error.invalid_record",
       "local transport: invalid record"},
      {"recordTooLarge", transport(Code::recordTooLarge), "local.transport.error.record_too_large",
       "local transport: record too large"},
      {"unexpectedSequence", transport(Code::unexpectedSequence), "local.transport.error.unexpected_sequence",
       "local transport: unexpected record sequence"},
      {"identityInvalid", [] { return describe(VeltranoIdentityError::invalidKey()); }, "identity.error.invalid",
       "the stored account key is invalid"},
      {"identityStorage", [] { return describe(VeltranoIdentityError::storage(13, "permission denied")); },
       "identity.error.storage_format", "account key storage: permission denied"},
  };
}

TEST(TransportErrors, DescriptionsAreTheLocalizedTextsOfTheirKeys) {
  for (const ErrorCase& c : errorCases()) {
    SCOPED_TRACE(c.name);
    const Described error = c.make();
    EXPECT_EQ(error.key, c.key);
    EXPECT_EQ(error.description, c.englishText);
    EXPECT_NE(localized(c.key), c.key) << "the key has a text in the application's tables";
  }
}

TEST(TransportErrors, DescriptionsFollowTheApplicationsTables) {
  registerLocalizedStrings({{"local.transport.error.handshake_timed_out", "Zeitüberschreitung"},
                            {"identity.error.storage_format", "Schlüsselspeicher: %s"}});
  EXPECT_STREQ(LocalTransportSecurityError(LocalTransportSecurityError::Code::handshakeTimedOut).what(),
               "Zeitüberschreitung");
  EXPECT_STREQ(VeltranoIdentityError::storage(2, "fehlt").what(), "Schlüsselspeicher: fehlt");
  registerLocalizedStrings({{"local.transport.error.handshake_timed_out", "local transport: handshake timed out"},
                            {"identity.error.storage_format", "account key storage: %s"}});
}

TEST(LocalTransportChannel, WireValues) {
  EXPECT_EQ(localTransportChannelFromWire(0), LocalTransportChannel::control);
  EXPECT_EQ(localTransportChannelFromWire(1), LocalTransportChannel::video);
  EXPECT_EQ(localTransportChannelFromWire(2), LocalTransportChannel::audio);
  EXPECT_EQ(localTransportChannelFromWire(3), LocalTransportChannel::file);
  EXPECT_FALSE(localTransportChannelFromWire(4));
  EXPECT_FALSE(localTransportChannelFromWire(255));
}

}  // namespace
}  // namespace veltrano
