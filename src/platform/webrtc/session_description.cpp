#include "platform/webrtc/session_description.hpp"

#include <charconv>

#include "platform/webrtc/dtls_identity.hpp"

namespace veltrano::webrtc {

namespace {

constexpr std::string_view dataChannelFormat = "webrtc-datachannel";

template <class Number>
std::optional<Number> parseNumber(std::string_view text) {
  Number value{};
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || error != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

std::vector<std::string_view> splitSpaces(std::string_view text) {
  std::vector<std::string_view> parts;
  std::size_t start = 0;
  while (start <= text.size()) {
    const std::size_t space = text.find(' ', start);
    const std::size_t end = space == std::string_view::npos ? text.size() : space;
    if (end > start) parts.push_back(text.substr(start, end - start));
    if (space == std::string_view::npos) break;
    start = space + 1;
  }
  return parts;
}

bool isIceText(std::string_view text, std::size_t minimum) {
  if (text.size() < minimum || text.size() > 256) return false;
  for (const char c : text) {
    const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '+' || c == '/';
    if (!ok) return false;
  }
  return true;
}

bool isToken(std::string_view text) {
  if (text.empty()) return false;
  for (const char c : text) {
    if (c <= ' ' || c > '~') return false;
  }
  return true;
}

// The attributes that may stand at session level and be overridden by the media section.
struct SharedAttributes {
  std::optional<std::string> ufrag;
  std::optional<std::string> pwd;
  std::optional<bool> trickle;
  std::optional<std::string> fingerprint;
  std::optional<DtlsSetup> setup;
};

class Parser {
 public:
  explicit Parser(const SessionDescriptionLimits& limits) : limits_(limits) {}

  SessionDescriptionParse parse(std::string_view text) {
    if (text.size() > limits_.maxSize) return fail("description larger than " + std::to_string(limits_.maxSize));
    std::size_t lineNumber = 0;
    std::size_t start = 0;
    while (start < text.size()) {
      std::size_t end = text.find('\n', start);
      if (end == std::string_view::npos) end = text.size();
      std::string_view line = text.substr(start, end - start);
      start = end + 1;
      if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
      ++lineNumber;
      if (lineNumber > limits_.maxLines) return fail("more than " + std::to_string(limits_.maxLines) + " lines");
      if (line.size() > limits_.maxLineLength) return fail("line " + std::to_string(lineNumber) + " too long");
      if (line.empty()) {
        if (start < text.size()) return fail("empty line " + std::to_string(lineNumber));
        break;
      }
      if (!handleLine(line, lineNumber)) return fail(error_);
    }
    if (!sawVersion_) return fail("no v=0 line");
    if (!found_) return fail("no data-channel media section");
    return finish();
  }

 private:
  SessionDescriptionParse fail(std::string error) { return {std::nullopt, std::move(error)}; }

  bool error(std::string text) {
    error_ = std::move(text);
    return false;
  }

  bool handleLine(std::string_view line, std::size_t number) {
    if (line.size() < 2 || line[1] != '=' || line[0] < 'a' || line[0] > 'z') {
      return error("line " + std::to_string(number) + " is not type=value");
    }
    const char type = line[0];
    const std::string_view value = line.substr(2);
    if (number == 1) {
      if (type != 'v' || value != "0") return error("first line is not v=0");
      sawVersion_ = true;
      return true;
    }
    if (type == 'o') return handleOrigin(value);
    if (type == 'm') return handleMedia(value);
    if (type != 'a') return true;
    if (inMedia_ && !inChosen_) return handleRejectedAttribute(value);
    return handleAttribute(value, inChosen_ ? media_ : session_);
  }

  bool handleOrigin(std::string_view value) {
    const auto parts = splitSpaces(value);
    if (parts.size() != 6) return error("malformed o= line");
    const auto id = parseNumber<std::uint64_t>(parts[1]);
    const auto version = parseNumber<std::uint64_t>(parts[2]);
    if (!id || !version) return error("malformed o= session id or version");
    description_.sessionId = *id;
    description_.sessionVersion = *version;
    return true;
  }

  bool handleMedia(std::string_view value) {
    inMedia_ = true;
    inChosen_ = false;
    const std::size_t index = mediaCount_++;
    const auto parts = splitSpaces(value);
    if (parts.size() < 4) return error("malformed m= line");
    for (const auto part : parts) {
      if (!isToken(part)) return error("malformed m= line");
    }
    if (found_ || parts[0] != "application" || parts[1] == "0") return reject(index, parts);
    if ((parts[2] == "UDP/DTLS/SCTP" || parts[2] == "TCP/DTLS/SCTP") && parts[3] == dataChannelFormat) {
      description_.format = SctpMediaFormat::current;
    } else if (parts[2] == "DTLS/SCTP" || parts[2] == "UDP/DTLS/SCTP") {
      const auto port = parseNumber<std::uint16_t>(parts[3]);
      if (!port || *port == 0) return error("malformed legacy SCTP port");
      description_.format = SctpMediaFormat::legacy;
      description_.sctpPort = *port;
    } else {
      return reject(index, parts);
    }
    found_ = true;
    inChosen_ = true;
    description_.mediaIndex = index;
    return true;
  }

  bool reject(std::size_t index, const std::vector<std::string_view>& parts) {
    RejectedMediaSection section;
    section.index = index;
    section.kind = std::string(parts[0]);
    section.protocol = std::string(parts[2]);
    for (std::size_t i = 3; i < parts.size(); ++i) {
      if (i > 3) section.formats += ' ';
      section.formats += parts[i];
    }
    description_.rejectedSections.push_back(std::move(section));
    return true;
  }

  bool handleRejectedAttribute(std::string_view value) {
    if (!value.starts_with("mid:")) return true;
    const auto mid = value.substr(4);
    if (!isToken(mid) || mid.size() > 32) return error("malformed mid");
    description_.rejectedSections.back().mid = std::string(mid);
    return true;
  }

  bool handleAttribute(std::string_view value, SharedAttributes& shared) {
    const std::size_t colon = value.find(':');
    const std::string_view name = value.substr(0, colon);
    const std::string_view argument = colon == std::string_view::npos ? std::string_view() : value.substr(colon + 1);
    if (name == "ice-ufrag") {
      if (!isIceText(argument, 4)) return error("malformed ice-ufrag");
      shared.ufrag = std::string(argument);
    } else if (name == "ice-pwd") {
      if (!isIceText(argument, 22)) return error("malformed ice-pwd");
      shared.pwd = std::string(argument);
    } else if (name == "ice-options") {
      bool trickle = false;
      for (const auto option : splitSpaces(argument)) trickle = trickle || option == "trickle";
      shared.trickle = trickle;
    } else if (name == "fingerprint") {
      // Several may be given; the SHA-256 one is the one we check.
      if (auto normalized = normalizedFingerprint(argument)) shared.fingerprint = std::move(*normalized);
    } else if (name == "setup") {
      if (argument == "actpass") {
        shared.setup = DtlsSetup::actpass;
      } else if (argument == "active") {
        shared.setup = DtlsSetup::active;
      } else if (argument == "passive") {
        shared.setup = DtlsSetup::passive;
      } else {
        return error("unknown setup role");
      }
    } else if (&shared == &media_) {
      return handleMediaAttribute(name, argument);
    }
    return true;
  }

  bool handleMediaAttribute(std::string_view name, std::string_view argument) {
    if (name == "mid") {
      if (!isToken(argument) || argument.size() > 32) return error("malformed mid");
      description_.mid = std::string(argument);
    } else if (name == "sctp-port") {
      const auto port = parseNumber<std::uint16_t>(argument);
      if (!port || *port == 0) return error("malformed sctp-port");
      description_.sctpPort = *port;
    } else if (name == "max-message-size") {
      const auto size = parseNumber<std::uint64_t>(argument);
      if (!size) return error("malformed max-message-size");
      description_.maxMessageSize = *size;
    } else if (name == "sctpmap") {
      const auto parts = splitSpaces(argument);
      if (parts.size() < 2 || parts[1] != dataChannelFormat || !parseNumber<std::uint16_t>(parts[0])) {
        return error("malformed sctpmap");
      }
    } else if (name == "candidate") {
      if (splitSpaces(argument).size() < 8) return error("malformed candidate");
      description_.candidates.push_back("candidate:" + std::string(argument));
    } else if (name == "end-of-candidates") {
      description_.endOfCandidates = true;
    }
    return true;
  }

  SessionDescriptionParse finish() {
    auto pick = [](auto& media, auto& session) { return media ? media : session; };
    const auto ufrag = pick(media_.ufrag, session_.ufrag);
    const auto pwd = pick(media_.pwd, session_.pwd);
    const auto fingerprint = pick(media_.fingerprint, session_.fingerprint);
    const auto setup = pick(media_.setup, session_.setup);
    if (!ufrag || !pwd) return fail("no ICE credentials");
    if (!fingerprint) return fail("no sha-256 fingerprint");
    if (!setup) return fail("no DTLS setup role");
    description_.iceUfrag = *ufrag;
    description_.icePwd = *pwd;
    description_.fingerprint = *fingerprint;
    description_.setup = *setup;
    description_.iceTrickle = pick(media_.trickle, session_.trickle).value_or(false);
    return {std::move(description_), {}};
  }

  const SessionDescriptionLimits& limits_;
  DataSessionDescription description_;
  SharedAttributes session_;
  SharedAttributes media_;
  std::string error_;
  std::size_t mediaCount_ = 0;
  bool sawVersion_ = false;
  bool inMedia_ = false;
  bool inChosen_ = false;
  bool found_ = false;
};

std::string_view setupText(DtlsSetup setup) {
  switch (setup) {
    case DtlsSetup::active:
      return "active";
    case DtlsSetup::passive:
      return "passive";
    case DtlsSetup::actpass:
      break;
  }
  return "actpass";
}

}  // namespace

SessionDescriptionParse parseSessionDescription(std::string_view text, const SessionDescriptionLimits& limits) {
  return Parser(limits).parse(text);
}

std::string writeSessionDescription(const DataSessionDescription& d) {
  std::string out;
  auto line = [&out](std::string_view a, std::string_view b = {}, std::string_view c = {}) {
    out.append(a).append(b).append(c).append("\r\n");
  };
  const std::string port = std::to_string(d.sctpPort);
  line("v=0");
  line("o=- ", std::to_string(d.sessionId) + " " + std::to_string(d.sessionVersion), " IN IP4 127.0.0.1");
  line("s=-");
  line("t=0 0");
  if (d.mid) line("a=group:BUNDLE ", *d.mid);
  auto rejected = d.rejectedSections.begin();
  const auto writeRejectedBefore = [&](std::size_t position) {
    for (; rejected != d.rejectedSections.end() && rejected->index < position; ++rejected) {
      line("m=", rejected->kind, " 0 " + rejected->protocol + " " + rejected->formats);
      line("c=IN IP4 0.0.0.0");
      if (rejected->mid) line("a=mid:", *rejected->mid);
    }
  };
  writeRejectedBefore(d.mediaIndex);
  if (d.format == SctpMediaFormat::current) {
    line("m=application 9 UDP/DTLS/SCTP ", dataChannelFormat);
  } else {
    line("m=application 9 DTLS/SCTP ", port);
  }
  line("c=IN IP4 0.0.0.0");
  for (const auto& candidate : d.candidates) line("a=", candidate);
  if (d.endOfCandidates) line("a=end-of-candidates");
  line("a=ice-ufrag:", d.iceUfrag);
  line("a=ice-pwd:", d.icePwd);
  if (d.iceTrickle) line("a=ice-options:trickle");
  line("a=fingerprint:", d.fingerprint);
  line("a=setup:", setupText(d.setup));
  if (d.mid) line("a=mid:", *d.mid);
  if (d.format == SctpMediaFormat::current) {
    line("a=sctp-port:", port);
  } else {
    line("a=sctpmap:", port, " webrtc-datachannel 1024");
  }
  if (d.maxMessageSize) line("a=max-message-size:", std::to_string(*d.maxMessageSize));
  writeRejectedBefore(static_cast<std::size_t>(-1));
  return out;
}

}  // namespace veltrano::webrtc
