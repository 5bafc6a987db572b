#pragma once
// The remote sessions whose peer connection is up, with what each of them watches, and the fan-out of media
// envelopes to them. The media servers' external packet sinks call sendVideo()/sendAudio() from their own
// executors while the coordinator changes and counts the entries on the main thread.
//
// Any thread. The lock guards the table only: sends run after it is released, because each one blocks on its
// peer's strand. A peer removed between collection and sending may still be offered the envelope; its send
// then fails harmlessly.
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
  // Both change an existing entry only.
  void setAudioEnabled(bool enabled, const std::string& sessionID);
  void setVisibleDisplayIDs(std::set<std::uint32_t> displayIDs, const std::string& sessionID);
  void remove(const std::string& sessionID);
  void removeAll();

  int viewerCount(std::uint32_t displayID) const;
  int audioListenerCount() const;

  // The envelope goes unchanged, as one message, to every watcher of the display on its video channel.
  // True only when there was a watcher and every watcher's send succeeded.
  bool sendVideo(std::uint32_t displayID, ByteView envelope);
  // The same for the sessions with audio enabled, on `label`.
  bool sendAudio(const std::string& label, ByteView envelope);

 private:
  struct Entry {
    std::shared_ptr<WebRTCPeerSession> peer;
    bool audioEnabled = false;
    std::set<std::uint32_t> visibleDisplayIDs;
  };

  template <class Matches>
  std::vector<std::shared_ptr<WebRTCPeerSession>> collect(Matches matches) const;
  static bool fanOut(const std::vector<std::shared_ptr<WebRTCPeerSession>>& peers, const std::string& label,
                     ByteView envelope);

  mutable std::mutex mutex_;
  std::map<std::string, Entry> entries_;
};

}  // namespace veltrano
