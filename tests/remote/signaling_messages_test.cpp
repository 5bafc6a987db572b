#include "remote/signaling_messages.hpp"

#include <gtest/gtest.h>

namespace veltrano {
namespace {

SignalingEnvelope envelopeOf(const std::string& text) { return decodeSignalingEnvelope(asBytes(text)); }

TEST(SignalingMessages, ChallengeChecks) {
  const struct {
    const char* text;
    bool acceptable;
  } cases[] = {
      {R"({"type":"challenge","protocolVersion":1,"nonce":"n","issuedAt":-5,"expiresAt":-4})", true},
      {R"({"type":"challenge","protocolVersion":1,"nonce":"n","issuedAt":7,"expiresAt":7})", false},
      {R"({"type":"challenge","protocolVersion":2,"nonce":"n","issuedAt":1,"expiresAt":7})", false},
      {R"({"type":"hello","protocolVersion":1,"nonce":"n","issuedAt":1,"expiresAt":7})", false},
  };
  for (const auto& c : cases) EXPECT_EQ(decodeSignalingChallenge(asBytes(c.text)).isAcceptable(), c.acceptable) << c.text;
  EXPECT_THROW(decodeSignalingChallenge(asBytes(R"({"type":"challenge","protocolVersion":1,"nonce":"n","issuedAt":1})")),
               SignalingDecodingError);
}

TEST(SignalingMessages, EnvelopeDecodesWhatItCarriesAndIgnoresUnknownKeys) {
  const auto envelope = envelopeOf(
      R"({"type":"authenticated","extra":[1],"sentAt":null,"devices":[{"deviceId":"ipad-1","deviceName":"Pad","role":"ipad"}],)"
      R"("iceServers":[{"urls":["stun:a"],"username":"u"}],"sequence":18446744073709551615})");
  EXPECT_EQ(envelope.type, "authenticated");
  EXPECT_EQ(envelope.devices, (std::vector<SignalingDevice>{{"ipad-1", "Pad", "ipad"}}));
  ASSERT_TRUE(envelope.iceServers);
  EXPECT_EQ(envelope.iceServers->front(), (SignalingICEServer{{"stun:a"}, "u", std::nullopt}));
  EXPECT_EQ(envelope.sequence, 18446744073709551615u);
  EXPECT_FALSE(envelope.sentAt);
}

TEST(SignalingMessages, EnvelopeWithAWrongTypeOrAnIncompleteRecordFailsAsAWhole) {
  for (const char* text : {R"({"state":"online"})", R"({"type":"signal","sequence":-1})",
                           R"({"type":"signal","sequence":"5"})", R"({"type":"signal","sentAt":1.5})",
                           R"({"type":"presence","device":{"deviceId":"d","deviceName":"n"}})",
                           R"({"type":"iceServers","iceServers":[{"urls":"stun:a"}]})", R"({"type":7})",
                           R"([{"type":"ping"}])", "not json"}) {
    EXPECT_THROW(envelopeOf(text), SignalingDecodingError) << text;
  }
}

TEST(SignalingMessages, HostMessagesCarryEveryKey) {
  const std::string signal = encodeSignalingOutgoingSignal({"ipad-1", "s", "offer", "cA", "c2ln", 3, -1});
  EXPECT_EQ(signal,
            R"({"kind":"offer","payload":"cA","sentAt":-1,"sequence":3,"sessionId":"s","signature":"c2ln",)"
            R"("toDeviceId":"ipad-1","type":"signal"})");
  EXPECT_EQ(encodeSignalingTypeOnly("ping"), R"({"type":"ping"})");
  EXPECT_NE(encodeSignalingAuthentication({"acc", "pk", "mac-1", "Studio", "mac", "n", "sig"}).find(R"("type":"authenticate")"),
            std::string::npos);
}

}  // namespace
}  // namespace veltrano
