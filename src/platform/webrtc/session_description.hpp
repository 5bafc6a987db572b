#pragma once
// The data-only session description: one "application" media section carrying SCTP over DTLS, in the current
// form ("UDP/DTLS/SCTP webrtc-datachannel" with a=sctp-port and a=max-message-size) or the legacy one
// ("DTLS/SCTP 5000" with a=sctpmap), plus ICE credentials, the DTLS fingerprint and setup role, and candidates.
// The other media sections of a peer's description are kept by position, so that an answer (and every later
// offer) mirrors each of them, rejected with port 0. Parsing is bounded (size, line count, line length) and names
// the first fault it finds.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace veltrano::webrtc {

enum class DtlsSetup { actpass, active, passive };
enum class SctpMediaFormat { current, legacy };

// A media section we do not take: written back as "m=<kind> 0 <protocol> <formats>" with its mid.
struct RejectedMediaSection {
  std::size_t index = 0;  // position among the description's media sections
  std::string kind;
  std::string protocol;
  std::string formats;
  std::optional<std::string> mid;

  bool operator==(const RejectedMediaSection&) const = default;
};

struct DataSessionDescription {
  std::uint64_t sessionId = 0;
  std::uint64_t sessionVersion = 0;
  std::string iceUfrag;
  std::string icePwd;
  bool iceTrickle = false;
  std::string fingerprint;  // "sha-256 AB:CD:..."
  DtlsSetup setup = DtlsSetup::actpass;
  std::optional<std::string> mid;
  SctpMediaFormat format = SctpMediaFormat::current;
  std::uint16_t sctpPort = 5000;
  std::optional<std::uint64_t> maxMessageSize;
  std::vector<std::string> candidates;  // "candidate:..." as trickled
  bool endOfCandidates = false;
  // Position of the application section among the description's media sections.
  std::size_t mediaIndex = 0;
  std::vector<RejectedMediaSection> rejectedSections;  // by position

  bool operator==(const DataSessionDescription&) const = default;
};

struct SessionDescriptionLimits {
  std::size_t maxSize = 64 * 1024;
  std::size_t maxLines = 1024;
  std::size_t maxLineLength = 4096;
};

struct SessionDescriptionParse {
  std::optional<DataSessionDescription> description;
  std::string error;  // empty when parsed
};

SessionDescriptionParse parseSessionDescription(std::string_view text, const SessionDescriptionLimits& limits = {});
// Lines end in CRLF. The rejected sections stand at their positions around the data section.
std::string writeSessionDescription(const DataSessionDescription& description);

}  // namespace veltrano::webrtc
