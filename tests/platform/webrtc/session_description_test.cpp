#include <gtest/gtest.h>

#include "platform/webrtc/session_description.hpp"

namespace veltrano::webrtc {
namespace {

// An offer as headless Chromium writes it for a page that opened data channels only.
constexpr char chromiumOffer[] =
    "v=0\r\n"
    "o=- 7316932137281453128 2 IN IP4 127.0.0.1\r\n"
    "s=-\r\n"
    "t=0 0\r\n"
    "a=group:BUNDLE 0\r\n"
    "a=extmap-allow-mixed\r\n"
    "a=msid-semantic: WMS\r\n"
    "m=application 9 UDP/DTLS/SCTP webrtc-datachannel\r\n"
    "c=IN IP4 0.0.0.0\r\n"
    "a=candidate:2999745851 1 udp 2122260223 198.18.0.2 54400 typ host generation 0 network-id 1\r\n"
    "a=candidate:1510613869 1 tcp 1518280447 198.18.0.2 9 typ host tcptype active generation 0 network-id 1\r\n"
    "a=ice-ufrag:8ZLs\r\n"
    "a=ice-pwd:xK0nB3U3TR3cD+/k4aChcAnR\r\n"
    "a=ice-options:trickle\r\n"
    "a=fingerprint:sha-256 5B:0F:2E:A1:7C:9D:44:E3:10:8A:BB:06:C2:71:F4:3D:"
    "92:5E:67:08:AD:1C:E9:30:7B:46:F2:8C:55:D0:1A:B7\r\n"
    "a=setup:actpass\r\n"
    "a=mid:0\r\n"
    "a=sctp-port:5000\r\n"
    "a=max-message-size:262144\r\n";

// An offer as aiortc 1.4 writes it (legacy SCTP form, candidates before the credentials).
constexpr char aiortcOffer[] =
    "v=0\r\n"
    "o=- 4005602121 4005602121 IN IP4 0.0.0.0\r\n"
    "s=-\r\n"
    "t=0 0\r\n"
    "a=group:BUNDLE 0\r\n"
    "a=msid-semantic:WMS *\r\n"
    "m=application 45844 DTLS/SCTP 5000\r\n"
    "c=IN IP4 192.0.2.2\r\n"
    "a=mid:0\r\n"
    "a=sctpmap:5000 webrtc-datachannel 65535\r\n"
    "a=max-message-size:65536\r\n"
    "a=candidate:f957a2332b1715da3b0ef8ba684454eb 1 udp 2130706431 192.0.2.2 45844 typ host\r\n"
    "a=candidate:d0bcf3d9c29a2bc887618212a1623bfa 1 udp 2130706431 fd00::2 39618 typ host\r\n"
    "a=end-of-candidates\r\n"
    "a=ice-ufrag:tHnm\r\n"
    "a=ice-pwd:BqNZdElHMYDWevsnNaZ25A\r\n"
    "a=fingerprint:sha-256 DC:67:F8:96:53:2C:58:54:22:DA:8A:3B:83:9D:DD:3A:"
    "25:B8:C0:7E:06:2D:02:44:0E:7C:24:CB:41:E2:58:81\r\n"
    "a=setup:actpass\r\n";

// Credentials and fingerprint at session level, an audio section first, bare line feeds, lower-case hex.
constexpr char sessionLevelOffer[] =
    "v=0\n"
    "o=- 1 1 IN IP4 0.0.0.0\n"
    "s=-\n"
    "t=0 0\n"
    "a=ice-ufrag:abcd\n"
    "a=ice-pwd:abcdefghijklmnopqrstuv\n"
    "a=fingerprint:sha-256 dc:67:f8:96:53:2c:58:54:22:da:8a:3b:83:9d:dd:3a:"
    "25:b8:c0:7e:06:2d:02:44:0e:7c:24:cb:41:e2:58:81\n"
    "a=setup:active\n"
    "m=audio 9 UDP/TLS/RTP/SAVPF 111\n"
    "a=mid:a\n"
    "a=setup:passive\n"
    "m=application 9 UDP/DTLS/SCTP webrtc-datachannel\n"
    "a=mid:d\n";

struct ParseCase {
  const char* name;
  const char* text;
  SctpMediaFormat format;
  std::optional<std::uint64_t> maxMessageSize;
  DtlsSetup setup;
  std::string ufrag;
  std::size_t candidates;
  bool trickle;
  std::size_t mediaIndex;
};

class SessionDescriptionParseTest : public ::testing::TestWithParam<ParseCase> {};

TEST_P(SessionDescriptionParseTest, ReadsTheDataSectionAndRoundTrips) {
  const ParseCase& c = GetParam();
  const auto parsed = parseSessionDescription(c.text);
  ASSERT_TRUE(parsed.description) << parsed.error;
  const DataSessionDescription& d = *parsed.description;
  EXPECT_EQ(d.format, c.format);
  EXPECT_EQ(d.sctpPort, 5000);
  EXPECT_EQ(d.maxMessageSize, c.maxMessageSize);
  EXPECT_EQ(d.setup, c.setup);
  EXPECT_EQ(d.iceUfrag, c.ufrag);
  EXPECT_EQ(d.candidates.size(), c.candidates);
  EXPECT_EQ(d.iceTrickle, c.trickle);
  EXPECT_EQ(d.mediaIndex, c.mediaIndex);
  EXPECT_EQ(d.fingerprint.substr(0, 14), "sha-256 DC:67:") << "normalized to upper case";
  for (const auto& candidate : d.candidates) EXPECT_EQ(candidate.rfind("candidate:", 0), 0u);

  // What we write reads back as the same description, other sections (rejected) in their places included.
  const auto reparsed = parseSessionDescription(writeSessionDescription(d));
  ASSERT_TRUE(reparsed.description) << reparsed.error;
  EXPECT_EQ(*reparsed.description, d);
}

// The Chromium fixture's fingerprint differs; the table checks it separately.
INSTANTIATE_TEST_SUITE_P(
    Offers, SessionDescriptionParseTest,
    ::testing::Values(ParseCase{"aiortc", aiortcOffer, SctpMediaFormat::legacy, 65536, DtlsSetup::actpass, "tHnm", 2,
                                false, 0},
                      ParseCase{"sessionLevel", sessionLevelOffer, SctpMediaFormat::current, std::nullopt,
                                DtlsSetup::active, "abcd", 0, false, 1}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(SessionDescription, ReadsChromiumOffer) {
  const auto parsed = parseSessionDescription(chromiumOffer);
  ASSERT_TRUE(parsed.description) << parsed.error;
  const DataSessionDescription& d = *parsed.description;
  EXPECT_EQ(d.sessionId, 7316932137281453128u);
  EXPECT_EQ(d.format, SctpMediaFormat::current);
  EXPECT_EQ(d.maxMessageSize, 262144u);
  EXPECT_EQ(d.setup, DtlsSetup::actpass);
  EXPECT_EQ(d.icePwd, "xK0nB3U3TR3cD+/k4aChcAnR");
  EXPECT_TRUE(d.iceTrickle);
  EXPECT_EQ(d.mid, "0");
  ASSERT_EQ(d.candidates.size(), 2u);
  EXPECT_EQ(d.candidates[0],
            "candidate:2999745851 1 udp 2122260223 198.18.0.2 54400 typ host generation 0 network-id 1");
  EXPECT_EQ(parseSessionDescription(writeSessionDescription(d)).description, d);
}

TEST(SessionDescription, WritesBothSctpForms) {
  DataSessionDescription d = *parseSessionDescription(chromiumOffer).description;
  const std::string current = writeSessionDescription(d);
  EXPECT_NE(current.find("\r\nm=application 9 UDP/DTLS/SCTP webrtc-datachannel\r\n"), std::string::npos);
  EXPECT_NE(current.find("\r\na=sctp-port:5000\r\n"), std::string::npos);
  EXPECT_NE(current.find("\r\na=max-message-size:262144\r\n"), std::string::npos);
  d.format = SctpMediaFormat::legacy;
  const std::string legacy = writeSessionDescription(d);
  EXPECT_NE(legacy.find("\r\nm=application 9 DTLS/SCTP 5000\r\n"), std::string::npos);
  EXPECT_NE(legacy.find("\r\na=sctpmap:5000 webrtc-datachannel 1024\r\n"), std::string::npos);
  EXPECT_EQ(legacy.find("sctp-port"), std::string::npos);
}

TEST(SessionDescription, AnAnswerMirrorsEveryMediaSectionOfTheOfferRejectingTheOthersWithPortZero) {
  // A browser page that also asked for a microphone and a camera.
  std::string offer = chromiumOffer;
  offer.replace(offer.find("a=group:BUNDLE 0"), 16, "a=group:BUNDLE a 0 v");
  const auto data = offer.find("m=application");
  offer.insert(data,
               "m=audio 9 UDP/TLS/RTP/SAVPF 111 63\r\nc=IN IP4 0.0.0.0\r\na=mid:a\r\na=sendrecv\r\n"
               "a=rtpmap:111 opus/48000/2\r\n");
  offer += "m=video 9 UDP/TLS/RTP/SAVPF 96 97\r\nc=IN IP4 0.0.0.0\r\na=mid:v\r\na=rtpmap:96 VP8/90000\r\n";
  const auto parsed = parseSessionDescription(offer);
  ASSERT_TRUE(parsed.description) << parsed.error;
  EXPECT_EQ(parsed.description->mediaIndex, 1u);
  EXPECT_EQ(parsed.description->mid, "0");

  const std::string answer = writeSessionDescription(*parsed.description);
  std::vector<std::string> mediaLines;
  std::vector<std::string> mids;
  for (std::size_t at = answer.find("\r\n"); at != std::string::npos; at = answer.find("\r\n", at + 2)) {
    const auto next = answer.find("\r\n", at + 2);
    if (next == std::string::npos) break;
    const std::string line = answer.substr(at + 2, next - at - 2);
    if (line.starts_with("m=")) mediaLines.push_back(line);
    if (line.starts_with("a=mid:")) mids.push_back(line.substr(6));
  }
  EXPECT_EQ(mediaLines, (std::vector<std::string>{"m=audio 0 UDP/TLS/RTP/SAVPF 111 63",
                                                  "m=application 9 UDP/DTLS/SCTP webrtc-datachannel",
                                                  "m=video 0 UDP/TLS/RTP/SAVPF 96 97"}));
  EXPECT_EQ(mids, (std::vector<std::string>{"a", "0", "v"}));
  EXPECT_NE(answer.find("a=group:BUNDLE 0\r\n"), std::string::npos);
  // The rejected sections carry nothing of theirs but the mid.
  EXPECT_EQ(answer.find("rtpmap"), std::string::npos);
  EXPECT_EQ(answer.find("sendrecv"), std::string::npos);
  const auto reparsed = parseSessionDescription(answer);
  ASSERT_TRUE(reparsed.description) << reparsed.error;
  EXPECT_EQ(reparsed.description->rejectedSections, parsed.description->rejectedSections);
  EXPECT_EQ(reparsed.description->mediaIndex, 1u);
}

std::string replaced(std::string text, const std::string& from, const std::string& to) {
  const auto at = text.find(from);
  EXPECT_NE(at, std::string::npos) << from;
  return text.replace(at, from.size(), to);
}

TEST(SessionDescription, RefusesMalformedDescriptionsWithAReason) {
  const std::string offer = chromiumOffer;
  std::string manyLines = "v=0\r\n";
  for (int i = 0; i < 1100; ++i) manyLines += "a=x\r\n";
  const std::vector<std::pair<std::string, std::string>> cases{
      {"", "no v=0"},
      {replaced(offer, "v=0", "v=1"), "first line"},
      {replaced(offer, "s=-", "s-"), "type=value"},
      {replaced(offer, "t=0 0\r\n", "t=0 0\r\n\r\n"), "empty line"},
      {replaced(offer, "m=application 9 UDP/DTLS/SCTP webrtc-datachannel", "m=application 9 RTP/AVP 0"),
       "no data-channel"},
      {replaced(offer, "m=application 9", "m=application 0"), "no data-channel"},
      {replaced(offer, "a=ice-ufrag:8ZLs", "a=ice-ufrag:8Z"), "ice-ufrag"},
      {replaced(offer, "a=ice-pwd:xK0nB3U3TR3cD+/k4aChcAnR", "a=ice-pwd:x;y"), "ice-pwd"},
      {replaced(offer, "a=ice-ufrag:8ZLs\r\n", ""), "ICE credentials"},
      {replaced(offer, "sha-256 5B", "sha-1 5B"), "fingerprint"},
      {replaced(offer, "a=setup:actpass", "a=setup:holdconn"), "setup"},
      {replaced(offer, "a=setup:actpass\r\n", ""), "setup"},
      {replaced(offer, "a=sctp-port:5000", "a=sctp-port:70000"), "sctp-port"},
      {replaced(offer, "a=max-message-size:262144", "a=max-message-size:-1"), "max-message-size"},
      {replaced(offer, " 198.18.0.2 54400 typ host generation 0 network-id 1", ""), "candidate"},
      {replaced(offer, "o=- 7316932137281453128 2", "o=- x 2"), "o="},
      {offer + "a=" + std::string(5000, 'x') + "\r\n", "too long"},
      {manyLines, "lines"},
      {offer + std::string(70 * 1024, 'a'), "larger"},
  };
  for (const auto& [text, reason] : cases) {
    const auto parsed = parseSessionDescription(text);
    EXPECT_FALSE(parsed.description) << reason;
    EXPECT_NE(parsed.error.find(reason), std::string::npos) << parsed.error << " / expected " << reason;
  }
}

}  // namespace
}  // namespace veltrano::webrtc
