#include <gtest/gtest.h>

#include "transport/local_transport_channel.hpp"
#include "transport/local_transport_security_error.hpp"

namespace veltrano {
namespace {

TEST(LocalTransportSecurityError, EveryCaseHasItsLocalizationKey) {
  using Code = LocalTransportSecurityError::Code;
  const std::vector<std::pair<Code, std::string_view>> expected = {
      {Code::identityUnavailable, "local.transport.error.identity_unavailable"},
      {Code::invalidHandshake, "local.transport.error.invalid_handshake"},
      {Code::authenticationFailed, "local.transport.error.authentication_failed"},
      {Code::handshakeTimedOut, "local.transport.error.handshake_timed_out"},
      {Code::connectionClosed, "local.transport.error.connection_closed"},
      {Code::invalidRecord, "local.transport.error.invalid_record"},
      {Code::recordTooLarge, "local.transport.error.record_too_large"},
      {Code::unexpectedSequence, "local.transport.error.unexpected_sequence"},
  };
  for (const auto& [code, key] : expected) {
    const LocalTransportSecurityError error(code);
    EXPECT_EQ(error.code(), code);
    EXPECT_EQ(error.localizationKey(), key);
    EXPECT_NE(std::string(error.what()).find("local transport"), std::string::npos);
  }
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
