#include "remote/signed_signals.hpp"

#include <gtest/gtest.h>

#include <algorithm>

#include "base/encoding.hpp"

namespace veltrano {
namespace {

// The vectors below were made with Python's cryptography package, independently of this code:
//   key = Ed25519PrivateKey.from_private_bytes(bytes(range(32)))
//   pub = raw public key; acc = sha256(pub).hexdigest(); b64 = urlsafe_b64encode(...).rstrip("=")
//   authsig = b64(key.sign("\n".join(["VELTRANO-AUTH-V1","n0nce",acc,"mac-1","mac","-42"]).encode()))
//   sk = HKDF(SHA256(), 32, salt=b"Harbor payload key v2", info=acc.encode()).derive(bytes(range(32)))
//   box = bytes([7]*12) + AESGCM(sk).encrypt(bytes([7]*12), b"offer sdp", None)
//   sigsig = b64(key.sign("\n".join(["VELTRANO-SIGNAL-V1","ipad-1","mac-1","s1","offer",b64(box),"5",
//                                   "1700000000000"]).encode()))
constexpr const char* publicKeyText = "A6EHv_POEL4dcN0Y50vAmWfk1jCbpQ1fHdyGZBJVMbg";
constexpr const char* accountID = "56475aa75463474c0285df5dbf2bcab73da651358839e9b77481b2eab107708c";
constexpr const char* authenticationSignature =
    "i1sj7y4AtwVLq-S3QnN_wb2GvqPkwoGdN9yGcuuujla1kxEXpdUlIIkJoUtuim9ZPuZ2ECyutbhpayGXJM4mCQ";
constexpr const char* sealedOffer = "BwcHBwcHBwcHBwcH3UoVWFZ1OUrddEc3c-AU8CgGggKZXHnxvg";
constexpr const char* offerSignature =
    "PwIrnnie4-XlJevs0nMw6Q-7SmIvSSCoS_lBTO9Y2M5o1wD_h6_A9fpoyzC6LWpZx7Q2mwV4qzGPZKleGLOYAA";

VeltranoIdentity vectorIdentity() {
  Bytes seed(32);
  for (std::size_t i = 0; i < seed.size(); ++i) seed[i] = static_cast<std::uint8_t>(i);
  return VeltranoIdentity(platform::SigningKey::fromSeed(seed));
}

SignalingEnvelope vectorOffer() {
  SignalingEnvelope envelope;
  envelope.type = "signal";
  envelope.fromDeviceId = "ipad-1";
  envelope.sessionId = "s1";
  envelope.kind = "offer";
  envelope.payload = sealedOffer;
  envelope.signature = offerSignature;
  envelope.sequence = 5;
  envelope.sentAt = 1700000000000;
  return envelope;
}

// What the relay delivers when `from` sends `signal`.
SignalingEnvelope delivered(const SignalingOutgoingSignal& signal, const std::string& from) {
  SignalingEnvelope envelope;
  envelope.type = "signal";
  envelope.fromDeviceId = from;
  envelope.sessionId = signal.sessionId;
  envelope.kind = signal.kind;
  envelope.payload = signal.payload;
  envelope.signature = signal.signature;
  envelope.sequence = signal.sequence;
  envelope.sentAt = signal.sentAt;
  return envelope;
}

TEST(SignedSignals, AuthenticationMatchesTheIndependentVector) {
  const auto identity = vectorIdentity();
  SignalingChallenge challenge{"challenge", 1, "n0nce", -42, 10};
  const auto authentication = makeSignalingAuthentication(identity, challenge, "mac-1", "Studio", "mac");
  EXPECT_EQ(authentication.accountId, accountID);
  EXPECT_EQ(authentication.publicKey, publicKeyText);
  EXPECT_EQ(authentication.signature, authenticationSignature);
  EXPECT_EQ(authentication.publicKey.size(), 43u);
  EXPECT_EQ(authentication.signature.size(), 86u);
  EXPECT_EQ(authentication.nonce, "n0nce");
}

TEST(SignedSignals, OpensASignalSignedAndSealedElsewhere) {
  const auto identity = vectorIdentity();
  SignalReplayTable table;
  const auto payload = acceptSignal(vectorOffer(), identity, "mac-1", table);
  ASSERT_TRUE(payload);
  EXPECT_EQ(*payload, (SignalingPayload{"ipad-1", "s1", "offer", Bytes(asBytes("offer sdp").begin(),
                                                                        asBytes("offer sdp").end()), 5}));
}

TEST(SignedSignals, OurSignalsOpenAndVerifyAsTheTargetSeesThem) {
  const auto identity = vectorIdentity();
  const auto signal = makeSignalingOutgoingSignal(identity, "mac-1", "ipad-1", "s9", "answer", asBytes("sdp"), 1, -3);
  EXPECT_EQ(base64urlDecode(signal.payload)->size(), 12u + 3u + 16u);
  const auto text = signalingSignalText("mac-1", "ipad-1", "s9", "answer", signal.payload, 1, -3);
  EXPECT_TRUE(identity.privateKey().verify(asBytes(text), *base64urlDecode(signal.signature)));
  SignalReplayTable table;
  const auto payload = acceptSignal(delivered(signal, "mac-1"), identity, "ipad-1", table);
  ASSERT_TRUE(payload);
  EXPECT_EQ(asString(payload->data), "sdp");
}

TEST(SignedSignals, ReplayTableKeepsTheHighestSequencePerSenderAndSession) {
  const auto identity = vectorIdentity();
  SignalReplayTable table;
  const struct {
    std::string from;
    std::string session;
    std::uint64_t sequence;
    bool accepted;
  } steps[] = {{"ipad-1", "a", 5, true},  {"ipad-1", "a", 5, false}, {"ipad-1", "a", 3, false},
               {"ipad-1", "a", 9, true},  {"ipad-1", "b", 5, true},  {"ipad-2", "a", 5, true},
               {"ipad-1", "c", 0, false}, {"ipad-1", "x:y", 5, true}, {"ipad-1:x", "y", 5, true}};
  for (const auto& step : steps) {
    const auto signal = makeSignalingOutgoingSignal(identity, step.from, "mac-1", step.session, "candidate",
                                                    asBytes("x"), step.sequence, 0);
    EXPECT_EQ(acceptSignal(delivered(signal, step.from), identity, "mac-1", table).has_value(), step.accepted)
        << step.from << " " << step.session << " " << step.sequence;
  }
  EXPECT_EQ(table.lastSequence({"ipad-1", "a"}), 9u);
  EXPECT_EQ(table.size(), 5u);
}

TEST(SignedSignals, DropsWhatFailsAnEarlyStepWithoutRecordingIt) {
  const auto identity = vectorIdentity();
  const struct {
    const char* name;
    std::function<void(SignalingEnvelope&)> change;
    std::string ownDeviceID;
  } cases[] = {
      {"no sentAt", [](SignalingEnvelope& e) { e.sentAt.reset(); }, "mac-1"},
      {"no kind", [](SignalingEnvelope& e) { e.kind.reset(); }, "mac-1"},
      {"payload length leaves 1", [](SignalingEnvelope& e) { e.payload = *e.payload + "A"; }, "mac-1"},
      {"signature outside the alphabet", [](SignalingEnvelope& e) { e.signature = "+" + e.signature->substr(1); },
       "mac-1"},
      {"payload changed after signing", [](SignalingEnvelope& e) { (*e.payload)[20] ^= 1; }, "mac-1"},
      {"sequence changed after signing", [](SignalingEnvelope& e) { e.sequence = 6; }, "mac-1"},
      {"meant for another device", [](SignalingEnvelope&) {}, "mac-2"},
  };
  for (const auto& c : cases) {
    SignalingEnvelope envelope = vectorOffer();
    c.change(envelope);
    SignalReplayTable table;
    EXPECT_FALSE(acceptSignal(envelope, identity, c.ownDeviceID, table)) << c.name;
    EXPECT_EQ(table.size(), 0u) << c.name;
  }
}

TEST(SignedSignals, Base64urlDecodesInEitherAlphabetWithAnyPartOfItsPadding) {
  const struct {
    std::string_view text;
    std::optional<std::string_view> bytes;
  } cases[] = {
      {"", ""},
      {"-_8", "\xfb\xff"},
      {"+/8", "\xfb\xff"},
      {"-_8=", "\xfb\xff"},
      {"-_9", "\xfb\xff"},  // unused bits of the last group
      {"Zm9vYg", "foob"},
      {"Zm9vYg=", "foob"},
      {"Zm9vYg==", "foob"},
      {"Zm9vYmFy", "foobar"},
      {"Zm9vY", std::nullopt},
      {"Zm9vYg===", std::nullopt},
      {"Zm9vYmFy====", std::nullopt},
      {"Zm=vYg", std::nullopt},
      {"Zm9v Yg", std::nullopt},
      {"Zm9v\nYg", std::nullopt},
      {std::string_view("Zm\0v", 4), std::nullopt},
      {"=", std::nullopt},
      {"====", std::nullopt},
  };
  for (const auto& c : cases) {
    const auto decoded = base64urlDecode(c.text, Base64urlDecoding::lenient);
    ASSERT_EQ(decoded.has_value(), c.bytes.has_value()) << c.text;
    if (decoded) {
      EXPECT_EQ(asString(*decoded), *c.bytes) << c.text;
    }
  }
}

TEST(SignedSignals, AcceptsASignalWrittenInTheStandardAlphabetWithPartialPadding) {
  const auto identity = vectorIdentity();
  SignalingEnvelope envelope = vectorOffer();
  std::string payload = *envelope.payload;
  ASSERT_NE(payload.find('-'), std::string::npos);
  std::replace(payload.begin(), payload.end(), '-', '+');
  std::replace(payload.begin(), payload.end(), '_', '/');
  payload += "==";
  envelope.payload = payload;
  // The signature covers the payload text as it travels; the signature itself keeps one of its two "=".
  const auto text = signalingSignalText("ipad-1", "mac-1", "s1", "offer", payload, 5, 1700000000000);
  envelope.signature = base64urlEncode(identity.privateKey().sign(asBytes(text))) + "=";
  SignalReplayTable table;
  const auto accepted = acceptSignal(envelope, identity, "mac-1", table);
  ASSERT_TRUE(accepted);
  EXPECT_EQ(asString(accepted->data), "offer sdp");
}

TEST(SignedSignals, APayloadSealedUnderAnotherKeyFailsAfterItsSequenceIsRecorded) {
  const auto identity = vectorIdentity();
  const VeltranoIdentity stranger(platform::SigningKey::generate());
  auto signal = makeSignalingOutgoingSignal(stranger, "ipad-1", "mac-1", "s1", "offer", asBytes("x"), 4, 0);
  const auto text = signalingSignalText("ipad-1", "mac-1", "s1", "offer", signal.payload, 4, 0);
  signal.signature = base64urlEncode(identity.privateKey().sign(asBytes(text)));
  SignalReplayTable table;
  EXPECT_THROW(acceptSignal(delivered(signal, "ipad-1"), identity, "mac-1", table), SignalingPayloadError);
  EXPECT_EQ(table.lastSequence({"ipad-1", "s1"}), 4u);
  EXPECT_FALSE(acceptSignal(delivered(signal, "ipad-1"), identity, "mac-1", table));
}

}  // namespace
}  // namespace veltrano
