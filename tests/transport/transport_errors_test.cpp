#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>
#include <utility>

#include "core/localization.hpp"
#include "transport/local_transport_channel.hpp"
#include "transport/local_transport_security_error.hpp"
#include "transport/veltrano_identity_error.hpp"

namespace veltrano {
namespace {

TEST(TransportErrors, EveryKeyHasATextInTheApplicationsTablesAndTheDescriptionIsIt) {
  using Code = LocalTransportSecurityError::Code;
  for (const auto& [code, name] :
       {std::pair{Code::identityUnavailable, "identity_unavailable"}, {Code::invalidHandshake, "invalid_handshake"},
        {Code::authenticationFailed, "authentication_failed"}, {Code::handshakeTimedOut, "handshake_timed_out"},
        {Code::connectionClosed, "connection_closed"}, {Code::invalidRecord, "invalid_record"},
        {Code::recordTooLarge, "record_too_large"}, {Code::unexpectedSequence, "unexpected_sequence"}}) {
    const LocalTransportSecurityError error(code);
    EXPECT_EQ(error.localizationKey(), "local.transport.error." + std::string(name));
    EXPECT_NE(localized(std::string(error.localizationKey())), error.localizationKey()) << name;
    EXPECT_EQ(error.what(), localized(std::string(error.localizationKey()))) << name;
  }
  EXPECT_EQ(VeltranoIdentityError::invalidKey().localizationKey(), "identity.error.invalid");
  EXPECT_STREQ(VeltranoIdentityError::invalidKey().what(), localized("identity.error.invalid").c_str());
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
  const LocalTransportChannel byWireValue[] = {LocalTransportChannel::control, LocalTransportChannel::video,
                                               LocalTransportChannel::audio, LocalTransportChannel::file};
  for (int value = 0; value < 256; ++value) {
    EXPECT_EQ(localTransportChannelFromWire(static_cast<std::uint8_t>(value)),
              value < 4 ? std::optional(byWireValue[value]) : std::nullopt)
        << value;
  }
}

}  // namespace
}  // namespace veltrano
