#include "remote/remote_host_media_hub.hpp"

#include <algorithm>
#include <optional>
#include <utility>

#include "media/media_envelope.hpp"
#include "remote/data_channel_labels.hpp"
#include "remote/data_channel_send_budget.hpp"

namespace veltrano {

namespace {

std::optional<MediaEnvelopeType> envelopeType(ByteView envelope) {
  const auto parsed = parseMediaEnvelope(envelope);
  return parsed ? std::optional(parsed->type) : std::nullopt;
}

}  // namespace

void RemoteHostMediaHub::registerPeer(std::shared_ptr<WebRTCPeerSession> peer, const std::string& sessionID) {
  std::lock_guard lock(mutex_);
  entries_[sessionID] = Entry{std::move(peer), false, {}, {}};
}

void RemoteHostMediaHub::setAudioEnabled(bool enabled, const std::string& sessionID) {
  std::lock_guard lock(mutex_);
  const auto found = entries_.find(sessionID);
  if (found == entries_.end()) return;
  Entry& entry = found->second;
  // A listener that comes back may have missed a change of configuration: it starts afresh.
  if (enabled && !entry.audioEnabled) entry.backlogs.erase(std::string(audioChannelLabel));
  entry.audioEnabled = enabled;
}

void RemoteHostMediaHub::setVisibleDisplayIDs(std::set<std::uint32_t> displayIDs, const std::string& sessionID) {
  std::lock_guard lock(mutex_);
  if (auto found = entries_.find(sessionID); found != entries_.end()) {
    found->second.visibleDisplayIDs = std::move(displayIDs);
  }
}

void RemoteHostMediaHub::resumeAfterGap(const std::string& sessionID) {
  std::lock_guard lock(mutex_);
  const auto found = entries_.find(sessionID);
  if (found == entries_.end()) return;
  Entry& entry = found->second;
  for (const std::uint32_t displayID : entry.visibleDisplayIDs) {
    auto& backlog = entry.backlogs[videoChannelLabel(displayID)];
    if (!backlog) backlog = std::make_shared<Backlog>();
    backlog->refused = true;
  }
}

void RemoteHostMediaHub::remove(const std::string& sessionID) {
  std::lock_guard lock(mutex_);
  entries_.erase(sessionID);
}

void RemoteHostMediaHub::removeAll() {
  std::lock_guard lock(mutex_);
  entries_.clear();
  audioConfiguration_.reset();
}

int RemoteHostMediaHub::viewerCount(std::uint32_t displayID) const {
  std::lock_guard lock(mutex_);
  return static_cast<int>(std::ranges::count_if(
      entries_, [&](const auto& item) { return item.second.visibleDisplayIDs.contains(displayID); }));
}

int RemoteHostMediaHub::audioListenerCount() const {
  std::lock_guard lock(mutex_);
  return static_cast<int>(std::ranges::count_if(entries_, [](const auto& item) { return item.second.audioEnabled; }));
}

bool RemoteHostMediaHub::sendVideo(std::uint32_t displayID, ByteView envelope) {
  const std::string label = videoChannelLabel(displayID);
  const auto targets = collect(label, [&](const Entry& entry) { return entry.visibleDisplayIDs.contains(displayID); });
  if (targets.empty()) return false;
  const auto message = std::make_shared<const Bytes>(envelope.begin(), envelope.end());
  bool allSent = true;
  for (const Target& target : targets) {
    // Every peer gets its chance, whatever the ones before it did.
    if (!offer(target, label, message)) allSent = false;
  }
  return allSent;
}

bool RemoteHostMediaHub::hasRoomForVideo(std::uint32_t displayID, std::size_t envelopeSize) const {
  const std::string label = videoChannelLabel(displayID);
  std::lock_guard lock(mutex_);
  return std::ranges::all_of(entries_, [&](const auto& item) {
    const Entry& entry = item.second;
    if (!entry.visibleDisplayIDs.contains(displayID)) return true;
    const auto backlog = entry.backlogs.find(label);
    const std::uint64_t queued = backlog == entry.backlogs.end() ? 0 : backlog->second->queuedBytes.load();
    return fitsSendBudget(label, queued, envelopeSize);
  });
}

bool RemoteHostMediaHub::sendAudio(const std::string& label, ByteView envelope) {
  const auto type = envelopeType(envelope);
  const bool isConfiguration = type == MediaEnvelopeType::audioConfiguration;
  const bool isFrame = type == MediaEnvelopeType::audioFrame;
  const auto message = std::make_shared<const Bytes>(envelope.begin(), envelope.end());
  std::shared_ptr<const Bytes> configuration;
  bool repeatsConfiguration = false;
  {
    std::lock_guard lock(mutex_);
    if (isConfiguration) {
      repeatsConfiguration = audioConfiguration_ && *audioConfiguration_ == *message;
      audioConfiguration_ = message;
    }
    configuration = audioConfiguration_;
  }
  const auto targets = collect(label, [](const Entry& entry) { return entry.audioEnabled; });
  if (targets.empty()) return false;
  bool allSent = true;
  for (const Target& target : targets) {
    Backlog& backlog = *target.backlog;
    if (isConfiguration) {
      // The same configuration again only matters to listeners that have none yet.
      if (repeatsConfiguration && backlog.hasAudioConfiguration) continue;
      backlog.hasAudioConfiguration = offer(target, label, message);
      allSent = allSent && backlog.hasAudioConfiguration;
      continue;
    }
    if (isFrame && !backlog.hasAudioConfiguration) {
      // A new listener learns the format first; without one known yet, its frames wait for the server's.
      backlog.hasAudioConfiguration = configuration && offer(target, label, configuration);
      if (!backlog.hasAudioConfiguration) {
        allSent = false;
        continue;
      }
    }
    if (!offer(target, label, message)) allSent = false;
  }
  return allSent;
}

template <class Matches>
std::vector<RemoteHostMediaHub::Target> RemoteHostMediaHub::collect(const std::string& label, Matches matches) {
  std::vector<Target> targets;
  std::lock_guard lock(mutex_);
  for (auto& [sessionID, entry] : entries_) {
    if (!matches(entry)) continue;
    auto& backlog = entry.backlogs[label];
    if (!backlog) backlog = std::make_shared<Backlog>();
    targets.push_back(Target{entry.peer, backlog});
  }
  return targets;
}

bool RemoteHostMediaHub::offer(const Target& target, const std::string& label,
                               const std::shared_ptr<const Bytes>& message) {
  // After a refusal the next message would follow a gap: it goes too, so the server starts again at a keyframe.
  if (target.backlog->refused.exchange(false)) return false;
  const std::uint64_t size = message->size();
  if (!fitsSendBudget(label, target.backlog->queuedBytes.load(), size)) return false;
  const auto peer = target.peer.lock();
  if (!peer) return false;
  target.backlog->queuedBytes += size;
  peer->sendWithoutWaiting(label, message, [backlog = target.backlog, size](bool accepted) {
    backlog->queuedBytes -= size;
    if (!accepted) backlog->refused = true;
  });
  return true;
}

}  // namespace veltrano
