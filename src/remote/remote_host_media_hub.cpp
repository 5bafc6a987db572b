#include "remote/remote_host_media_hub.hpp"

#include <algorithm>
#include <utility>

#include "remote/data_channel_labels.hpp"

namespace veltrano {

void RemoteHostMediaHub::registerPeer(std::shared_ptr<WebRTCPeerSession> peer, const std::string& sessionID) {
  Entry replaced;  // the last reference to a peer is dropped outside the lock: its teardown may take a while
  std::lock_guard lock(mutex_);
  replaced = std::exchange(entries_[sessionID], Entry{std::move(peer), false, {}});
}

void RemoteHostMediaHub::setAudioEnabled(bool enabled, const std::string& sessionID) {
  std::lock_guard lock(mutex_);
  if (auto found = entries_.find(sessionID); found != entries_.end()) found->second.audioEnabled = enabled;
}

void RemoteHostMediaHub::setVisibleDisplayIDs(std::set<std::uint32_t> displayIDs, const std::string& sessionID) {
  std::lock_guard lock(mutex_);
  if (auto found = entries_.find(sessionID); found != entries_.end()) {
    found->second.visibleDisplayIDs = std::move(displayIDs);
  }
}

void RemoteHostMediaHub::remove(const std::string& sessionID) {
  std::map<std::string, Entry> removed;  // released after the lock
  std::lock_guard lock(mutex_);
  if (auto node = entries_.extract(sessionID)) removed.insert(std::move(node));
}

void RemoteHostMediaHub::removeAll() {
  std::map<std::string, Entry> removed;
  std::lock_guard lock(mutex_);
  removed.swap(entries_);
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
  const auto peers = collect([&](const Entry& entry) { return entry.visibleDisplayIDs.contains(displayID); });
  return fanOut(peers, videoChannelLabel(displayID), envelope);
}

bool RemoteHostMediaHub::sendAudio(const std::string& label, ByteView envelope) {
  const auto peers = collect([](const Entry& entry) { return entry.audioEnabled; });
  return fanOut(peers, label, envelope);
}

template <class Matches>
std::vector<std::shared_ptr<WebRTCPeerSession>> RemoteHostMediaHub::collect(Matches matches) const {
  std::vector<std::shared_ptr<WebRTCPeerSession>> peers;
  std::lock_guard lock(mutex_);
  for (const auto& [sessionID, entry] : entries_) {
    if (matches(entry)) peers.push_back(entry.peer);
  }
  return peers;
}

bool RemoteHostMediaHub::fanOut(const std::vector<std::shared_ptr<WebRTCPeerSession>>& peers,
                                const std::string& label, ByteView envelope) {
  if (peers.empty()) return false;
  bool allSent = true;
  for (const auto& peer : peers) {
    // Every peer gets its chance, whatever the ones before it did.
    if (!peer->send(label, envelope)) allSent = false;
  }
  return allSent;
}

}  // namespace veltrano
