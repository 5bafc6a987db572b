#include "control/phone_pointer_sequence_gate.hpp"

namespace veltrano {

bool PhonePointerSequenceGate::shouldAccept(const std::optional<std::string>& session,
                                            std::optional<std::int64_t> sequence) {
  if (!session || session->empty()) return true;
  if (!sequence || *sequence < 0) return true;
  auto [entry, inserted] = latestBySession.try_emplace(*session, *sequence);
  if (inserted) return true;
  if (entry->second >= *sequence) return false;
  entry->second = *sequence;
  return true;
}

}  // namespace veltrano
