#pragma once
// The remote sessions whose peer connection is up, with what each of them watches, and the fan-out of media
// envelopes to them. The media servers' external packet sinks call sendVideo()/sendAudio() from their own
// executors while the coordinator changes and counts the entries on the main thread.
//
// Any thread. The lock guards the table only. A fan-out never waits for a peer: each envelope is queued on the
// peer's strand, and a peer that has more than its channel's send budget queued there, or that refused an
// envelope since the last fan-out, loses this one (the server then waits for a keyframe). A peer removed
// between collection and sending may still be offered the envelope; its send then fails harmlessly. The hub holds
// its peers weakly: the coordinator's session table is their one owner.
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "base/encoding.hpp"
#include "remote/webrtc_peer_session.hpp"

namespace veltrano {

class RemoteHostMediaHub {
 public:
  // Sets the session's entry to `peer` with audio off and no displays, replacing any earlier entry.
  void registerPeer(std::shared_ptr<WebRTCPeerSession> peer, const std::string& sessionID);
  // Both change an existing entry only. A session that turns audio on gets the audio configuration before its
  // first audio frame.
  void setAudioEnabled(bool enabled, const std::string& sessionID);
  void setVisibleDisplayIDs(std::set<std::uint32_t> displayIDs, const std::string& sessionID);
  // The session's connection came back on a new path: what went out while it was away may be lost, so each
  // display it watches now refuses its next envelope to it and the display's server starts again at a keyframe.
  void resumeAfterGap(const std::string& sessionID);
  void remove(const std::string& sessionID);
  void removeAll();

  int viewerCount(std::uint32_t displayID) const;
  int audioListenerCount() const;

  // The envelope goes unchanged, as one message, to every watcher of the display on its video channel.
  // True only when there was a watcher and every watcher took it.
  bool sendVideo(std::uint32_t displayID, ByteView envelope);
  // Whether every watcher of the display would take an envelope of `envelopeSize` on its video channel now: the
  // server asks before it wants a keyframe again after a refusal.
  bool hasRoomForVideo(std::uint32_t displayID, std::size_t envelopeSize) const;
  // The same for the sessions with audio enabled, on `label`.
  bool sendAudio(const std::string& label, ByteView envelope);

 private:
  // One channel of one peer: what its strand has yet to take, and whether it refused a message since.
  struct Backlog {
    std::atomic<std::uint64_t> queuedBytes{0};
    std::atomic<bool> refused{false};
    bool hasAudioConfiguration = false;  // the audio fan-out's own (one audio server calls it at a time)
  };
  struct Entry {
    std::weak_ptr<WebRTCPeerSession> peer;
    bool audioEnabled = false;
    std::set<std::uint32_t> visibleDisplayIDs;
    std::map<std::string, std::shared_ptr<Backlog>> backlogs;  // by label, made on first use
  };
  struct Target {
    std::weak_ptr<WebRTCPeerSession> peer;
    std::shared_ptr<Backlog> backlog;
  };

  template <class Matches>
  std::vector<Target> collect(const std::string& label, Matches matches);
  // Queues `message` on the peer's strand unless that would go beyond the budget. Never waits.
  static bool offer(const Target& target, const std::string& label, const std::shared_ptr<const Bytes>& message);

  mutable std::mutex mutex_;
  std::map<std::string, Entry> entries_;
  std::shared_ptr<const Bytes> audioConfiguration_;  // the last one the audio server sent
};

}  // namespace veltrano
