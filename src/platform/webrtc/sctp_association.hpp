#pragma once
// One SCTP association carried over DTLS (usrsctp with AF_CONN addresses): whole messages per stream with their
// payload protocol identifier, ordered or unordered, fully or partially reliable; stream resets; the end of the
// association. Single-threaded: every method and every observer call runs on the owner's network thread. Events
// are reported after the usrsctp call that produced them has returned, never from inside send() or a reset.
#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <vector>

#include "platform/webrtc/network_sequence.hpp"
#include "platform/webrtc/usrsctp_runtime.hpp"

struct socket;

namespace veltrano::webrtc {

struct SctpSendOptions {
  bool ordered = true;
  std::optional<std::uint32_t> maxRetransmits;   // partial reliability by retransmission count
  std::optional<std::uint32_t> maxLifetimeMs;    // partial reliability by time
};

enum class SctpSendResult { sent, wouldBlock, failed };

class SctpAssociation final : private UsrsctpRuntime::Endpoint {
 public:
  static constexpr std::uint16_t defaultPort = 5000;
  static constexpr std::size_t maxMessageSize = 262144;

  class Observer {
   public:
    virtual ~Observer() = default;
    // An SCTP packet to carry to the peer (over DTLS). Called at any time, also inside send().
    virtual void onSctpPacket(std::span<const std::uint8_t> packet) = 0;
    virtual void onSctpConnected() = 0;
    virtual void onSctpMessage(std::uint16_t stream, std::uint32_t ppid, std::span<const std::uint8_t> message) = 0;
    // The peer reset these streams towards us (it closed them).
    virtual void onSctpIncomingStreamsReset(std::span<const std::uint16_t> streams) = 0;
    // Our own reset of these streams has been done (or refused: the streams are unusable either way).
    virtual void onSctpOutgoingStreamsReset(std::span<const std::uint16_t> streams) = 0;
    // The association ended: aborted, shut down or lost.
    virtual void onSctpClosed(const std::string& reason) = 0;
    // The send buffer has room again (or holds nothing any more): what waits may go now.
    virtual void onSctpSendSpace() = 0;
    // The association's timers should run by `due` (see handleTimers); called when that moves earlier.
    virtual void onSctpTimersDue(std::chrono::steady_clock::time_point due) = 0;
  };

  explicit SctpAssociation(Observer& observer, std::uint16_t localPort = defaultPort,
                           std::uint16_t remotePort = defaultPort);
  // Aborts an association that is still up; the ABORT packet goes to the observer, which must still work.
  ~SctpAssociation() override;
  SctpAssociation(const SctpAssociation&) = delete;
  SctpAssociation& operator=(const SctpAssociation&) = delete;

  // Both peers connect at once (simultaneous open), as WebRTC does.
  void connect();
  // A decrypted packet from the peer.
  void receivePacket(std::span<const std::uint8_t> packet);
  // One whole message. wouldBlock: the send buffer has no room for it now.
  SctpSendResult send(std::uint16_t stream, std::uint32_t ppid, std::span<const std::uint8_t> message,
                      const SctpSendOptions& options);
  // Resets our outgoing side of a stream; retried until usrsctp accepts it.
  void resetStream(std::uint16_t stream);
  // Graceful end (SHUTDOWN); onSctpClosed follows.
  void shutdown();
  // Runs timers up to `now` for every association of the process, then reports what they changed.
  void handleTimers(std::chrono::steady_clock::time_point now);
  // When the timers should next run. usrsctp keeps its deadlines to itself, so this is bounded from what can be
  // pending: handshake, unacknowledged data, stream resets and shutdown need a short step, a delayed
  // acknowledgement is due 200 ms after data came, and an idle association only has its heartbeat.
  std::optional<std::chrono::steady_clock::time_point> timersDue(std::chrono::steady_clock::time_point now) const;
  // Bytes of user messages usrsctp still holds: queued, or sent and not yet acknowledged.
  std::size_t heldBytes() const;

  bool isConnected() const { return connected_; }
  bool isClosed() const { return closed_; }

 private:
  struct Event {
    enum class Kind { connected, message, incomingReset, outgoingReset, closed, sendSpace };
    explicit Event(Kind k) : kind(k) {}
    Kind kind;
    std::uint16_t stream = 0;
    std::uint32_t ppid = 0;
    std::vector<std::uint8_t> bytes;
    std::vector<std::uint16_t> streams;
    std::string reason;
  };
  struct Assembly {
    std::vector<std::uint8_t> bytes;
    bool discarding = false;
  };

  friend struct SctpReceiveTrampoline;
  void onUsrsctpPacket(std::span<const std::uint8_t> packet) override;
  void onUsrsctpTimersRan() override;

  void configureSocket();
  void received(std::span<const std::uint8_t> data, std::uint16_t stream, std::uint32_t ppid, int flags);
  void handleNotification(std::span<const std::uint8_t> notification);
  void closeWith(std::string reason);
  void sendPendingResets();
  void dispatchEvents();
  void requestTimers();

  Observer& observer_;
  std::shared_ptr<UsrsctpRuntime> runtime_;
  std::uint16_t localPort_;
  std::uint16_t remotePort_;
  struct socket* socket_ = nullptr;
  bool connected_ = false;
  bool closed_ = false;
  std::map<std::uint16_t, Assembly> assemblies_;
  std::vector<std::uint8_t> notification_;
  std::set<std::uint16_t> pendingResets_;
  std::vector<Event> events_;
  bool dispatching_ = false;
  bool connecting_ = false;
  bool shuttingDown_ = false;
  std::optional<std::chrono::steady_clock::time_point> lastData_;
  std::optional<std::chrono::steady_clock::time_point> requestedDue_;
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
  NetworkSequence sequence_;
};

}  // namespace veltrano::webrtc
