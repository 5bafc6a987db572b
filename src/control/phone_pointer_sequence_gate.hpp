#pragma once
// Orders the commands of a phone pointer session: per session it keeps the highest sequence number
// accepted so far and refuses every command of that session that is not newer.
#include <cstdint>
#include <map>
#include <optional>
#include <string>

namespace veltrano {

struct PhonePointerSequenceGate {
  std::map<std::string, std::int64_t, std::less<>> latestBySession;

  // True to go on. Commands without a session (or with an empty one) or without a non-negative sequence
  // always pass and record nothing; a number equal to the stored one counts as old.
  bool shouldAccept(const std::optional<std::string>& session, std::optional<std::int64_t> sequence);

  // Forgets the session: its numbers start afresh.
  void forget(const std::string& session) { latestBySession.erase(session); }
};

}  // namespace veltrano
