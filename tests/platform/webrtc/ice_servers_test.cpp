#include "platform/webrtc/ice_servers.hpp"

#include <gtest/gtest.h>

#include <future>

#include "platform/webrtc/ice_server_resolver.hpp"
#include "platform/webrtc/network_thread.hpp"

namespace veltrano::webrtc {
namespace {

using Scheme = IceServerUrl::Scheme;

struct UrlCase {
  const char* url;
  std::optional<IceServerUrl> expected;
};

IceServerUrl url(Scheme scheme, const char* host, std::uint16_t port, RelayTransport transport) {
  return IceServerUrl{scheme, host, port, transport};
}

TEST(IceServerUrlTest, ParsesTheFormsBrowsersAccept) {
  const UrlCase cases[] = {
      {"stun:stun.example.net", url(Scheme::stun, "stun.example.net", 3478, RelayTransport::udp)},
      {"stun:198.18.0.2:19302", url(Scheme::stun, "198.18.0.2", 19302, RelayTransport::udp)},
      {"turn:[2001:db8::1]:3479", url(Scheme::turn, "2001:db8::1", 3479, RelayTransport::udp)},
      {"turn:relay.example.net?transport=tcp", url(Scheme::turn, "relay.example.net", 3478, RelayTransport::tcp)},
      {"turns:relay.example.net", url(Scheme::turns, "relay.example.net", 5349, RelayTransport::tls)},
      {"turns:relay.example.net?transport=udp", std::nullopt},
      {"stun:host:0", std::nullopt},
      {"stun:host:70000", std::nullopt},
      {"stun:host:", std::nullopt},
      {"stun:", std::nullopt},
      {"turn:[2001:db8::1", std::nullopt},
      {"http://relay.example.net", std::nullopt},
  };
  for (const auto& c : cases) {
    const auto parsed = parseIceServerUrl(c.url);
    ASSERT_EQ(parsed.has_value(), c.expected.has_value()) << c.url;
    if (!parsed) continue;
    EXPECT_EQ(parsed->scheme, c.expected->scheme) << c.url;
    EXPECT_EQ(parsed->host, c.expected->host) << c.url;
    EXPECT_EQ(parsed->port, c.expected->port) << c.url;
    EXPECT_EQ(parsed->transport, c.expected->transport) << c.url;
  }
}

TEST(IceServerUrlTest, RelaysNeedCredentialsAndNumericAddressesResolveToThemselves) {
  IceServer turn;
  turn.urls = {"turn:198.18.0.2:3478"};
  EXPECT_FALSE(iceServersValid({turn}));
  turn.username = "tablet";
  turn.credential = "secret";
  IceServer stun;
  stun.urls = {"stun:198.18.0.3"};
  EXPECT_TRUE(iceServersValid({turn, stun}));
  // Numeric addresses need no lookup: the completion runs inside the call.
  const auto token = NetworkThread::start();
  const auto thread = NetworkThread::running();
  std::promise<std::optional<ResolvedIceServers>> result;
  thread->post([&] {
    IceServerResolver resolver;
    std::optional<ResolvedIceServers> resolved;
    resolver.resolve({turn, stun}, [&](ResolvedIceServers servers) { resolved = std::move(servers); });
    result.set_value(std::move(resolved));
  });
  const auto answered = result.get_future().get();
  ASSERT_TRUE(answered);
  const auto& resolved = *answered;
  ASSERT_EQ(resolved.turn.size(), 1u);
  EXPECT_EQ(resolved.turn[0].address, "198.18.0.2");
  EXPECT_EQ(resolved.turn[0].username, "tablet");
  ASSERT_EQ(resolved.stun.size(), 1u);
  EXPECT_EQ(resolved.stun[0].address, "198.18.0.3");
}

}  // namespace
}  // namespace veltrano::webrtc
