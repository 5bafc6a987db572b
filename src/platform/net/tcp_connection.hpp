#pragma once
// One TCP connection with the life of a network-framework connection: created (accepted by a listener or made
// for a client), started on an executor, then ready until it fails or is cancelled.
//
// Threads: every callback (state changes, receive and send completions) runs on the executor given to start(),
// inside the connection's own strand, so callbacks of one connection never overlap and arrive in order. With the
// shared I/O context those are the shared I/O threads: an owner must not touch its own state there. It re-enters
// itself through a new task on its own executor that holds it weakly (see ListeningServer).
//
// All member functions may be called from any thread.
#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/awaitable.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/strand.hpp>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "base/encoding.hpp"
#include "platform/net/host_lookup.hpp"
#include "platform/net/network_state.hpp"
#include "platform/net/tcp_parameters.hpp"

namespace veltrano::platform {

class TcpConnection : public std::enable_shared_from_this<TcpConnection> {
 public:
  // A serial number, unique in the process: the connection's identity in an owner's tables.
  using ID = std::uint64_t;
  using StateHandler = std::function<void(const NetworkState&)>;

  struct ReceiveResult {
    Bytes content;
    bool isComplete = false;           // the peer ended the stream; no more bytes will follow
    boost::system::error_code error;   // set when the receive failed (the connection failed or was cancelled)
    bool isEndOfStream() const { return !error && isComplete && content.empty(); }
  };
  using ReceiveCompletion = std::function<void(ReceiveResult)>;
  using SendCompletion = std::function<void(boost::system::error_code)>;

  // A client connection to `host` (name or numeric address) and `port`; it connects once started.
  static std::shared_ptr<TcpConnection> create(std::string host, std::uint16_t port, TcpParameters parameters);
  // A connection around a socket a listener accepted (options already applied).
  static std::shared_ptr<TcpConnection> adopt(boost::asio::ip::tcp::socket socket);

  ~TcpConnection();
  TcpConnection(const TcpConnection&) = delete;
  TcpConnection& operator=(const TcpConnection&) = delete;

  ID id() const { return id_; }

  // Replaces the state handler; nullptr clears it. A state being reported while the handler is replaced may
  // still reach the old handler, but a cancel() issued after clearing reports nothing.
  void setStateHandler(StateHandler handler);

  // Starts the connection: accepted ones report preparing then ready; client ones preparing, then ready once
  // connected or failed(error). A second start() does nothing.
  void start(const boost::asio::any_io_executor& queue);

  // Closes the connection. Pending and later receives and sends complete with operation_aborted, and the
  // cancelled state is reported once (after start(), if it has not been started yet). Idempotent.
  void cancel();

  // Delivers between `minimumIncompleteLength` and `maximumLength` bytes once at least the minimum has arrived;
  // fewer (possibly none) with isComplete when the peer ends the stream first. Receives are served in the order
  // issued and never read past their maximum, so nothing is lost between them. A hard I/O error completes the
  // receive with it and fails the connection.
  void receive(std::size_t minimumIncompleteLength, std::size_t maximumLength, ReceiveCompletion completion);

  // Queues `data` for writing. Writes go out whole and in the order send() was called; each completion runs
  // once its bytes were handed to the kernel, or with the error that stopped them.
  void send(Bytes data, SendCompletion completion = {});
  // As send(), but when nothing is queued or being written the caller's thread writes the bytes itself instead
  // of handing them to an I/O thread: for a reply from the main thread, where that hand-off is a good part of
  // the latency. What the kernel does not take at once, or an error, goes through the queue as with send().
  // When every byte went at once, the completion runs on the caller's thread before this returns.
  void sendImmediately(Bytes data, SendCompletion completion = {});

  static constexpr std::size_t unlimitedQueue = static_cast<std::size_t>(-1);

  // How made bytes leave: through the queue (send()) or written by the caller when it can (sendImmediately()).
  enum class SendPath { queued, immediate };
  struct SendAdmission {
    enum class Outcome {
      accepted,
      overLimit,  // the queue would have gone over the limit: nothing was queued, and sends end from now on
      ended,      // sends had ended before (the connection is closed, or an earlier send went over the limit)
    };
    Outcome outcome = Outcome::accepted;
    std::size_t size = 0;         // the bytes `make` returned
    std::size_t queuedBytes = 0;  // waiting to be written, these bytes included (when not ended)
  };
  // Makes the bytes to send with `make` and queues (or writes) them in one step under the send lock, so bytes
  // made by several threads reach the socket in the order they were made: for records whose sequence numbers
  // are taken as they are sealed. When the bytes already waiting plus these would exceed `queueLimit`, nothing
  // is queued and every later send fails with no_buffer_space: a peer that does not read cannot make the
  // host hold more. What `make` throws passes to the caller; nothing is sent then. The completion always runs
  // (with the error for a refused send), never while the send lock is held.
  template <class Make>
  SendAdmission sendMade(Make&& make, SendPath path, std::size_t queueLimit, SendCompletion completion = {}) {
    std::unique_lock lock(sendMutex_);
    Bytes data = std::forward<Make>(make)();
    return sendLocked(lock, std::move(data), path, queueLimit, std::move(completion));
  }
  // Bytes handed to send and not yet taken by the kernel (the write in flight included).
  std::size_t queuedSendBytes();

  // --- Awaitable forms (for client code, tests and tools). Each resumes on the caller's executor. ---
  // Creates, starts and waits until ready; throws NetworkError when the connection fails.
  static boost::asio::awaitable<std::shared_ptr<TcpConnection>> connect(std::string host, std::uint16_t port,
                                                                        TcpParameters parameters,
                                                                        boost::asio::any_io_executor queue);
  boost::asio::awaitable<ReceiveResult> receiveAsync(std::size_t minimumIncompleteLength, std::size_t maximumLength);
  // Exactly `count` bytes; nullopt when the stream ends first. Throws NetworkError.
  boost::asio::awaitable<std::optional<Bytes>> receiveExactly(std::size_t count);
  // Throws NetworkError when the send fails.
  boost::asio::awaitable<void> sendAsync(Bytes data);

  // The socket's descriptor, for inspecting its options (-1 once closed). Not for I/O.
  int nativeHandleForInspection() const { return nativeHandle_.load(); }
  // The local port once open (0 before).
  std::uint16_t localPort() const { return localPort_.load(); }

 private:
  enum class Phase { setup, preparing, ready, failed, cancelled };
  struct PendingReceive {
    std::size_t minimum;
    std::size_t maximum;
    ReceiveCompletion completion;
    std::shared_ptr<Bytes> buffer;  // shared with the read in flight, which may outlive the entry
    std::size_t filled = 0;
  };
  struct PendingSend {
    std::shared_ptr<const Bytes> data;  // shared with the write in flight
    SendCompletion completion;
  };

  class CancelStep;

  TcpConnection();
  // The strand once started; nullopt before (requests then wait in the queues for begin()).
  std::optional<boost::asio::strand<boost::asio::any_io_executor>> startedStrand();
  void deliver(const NetworkState& state);
  bool isTerminal() const { return phase_ == Phase::failed || phase_ == Phase::cancelled; }

  // Strand only.
  void begin();
  void connectClient();
  void becomeReady();
  void fail(boost::system::error_code error);
  void finishCancel();
  void abortPending(boost::system::error_code error);
  void pumpReceive();
  void completeReceive(bool isComplete);
  std::shared_ptr<Bytes> takeReadBuffer(std::size_t size);
  void pumpSend();
  void finishWrite(boost::system::error_code error);
  // Only once no I/O thread runs any more: lets go of the pending requests without completing them.
  void dropPendingRequests();
  // Any thread, with `lock` held on sendMutex_; unlocks it before any completion runs.
  SendAdmission sendLocked(std::unique_lock<std::mutex>& lock, Bytes data, SendPath path, std::size_t queueLimit,
                           SendCompletion completion);
  // Runs a refused send's completion on the strand (on this thread when not started); `lock` is released first.
  void completeRefused(std::unique_lock<std::mutex>& lock, boost::system::error_code error, SendCompletion completion);

  const ID id_;
  // Guards strand_, handler_ and the receive queue until start(). Never held with sendMutex_.
  std::mutex mutex_;
  std::optional<boost::asio::strand<boost::asio::any_io_executor>> strand_;
  StateHandler handler_;
  std::atomic<bool> cancelRequested_{false};
  std::atomic<int> nativeHandle_{-1};
  std::atomic<std::uint16_t> localPort_{0};

  // Client connections only.
  std::string host_;
  std::uint16_t port_ = 0;
  TcpParameters parameters_;
  bool isClient_ = false;

  // Strand state.
  std::optional<boost::asio::ip::tcp::socket> socket_;
  std::optional<HostLookup> lookup_;
  Phase phase_ = Phase::setup;
  boost::system::error_code failure_;
  bool endOfStream_ = false;
  bool reading_ = false;
  std::deque<PendingReceive> receives_;
  std::shared_ptr<Bytes> spareReadBuffer_;  // kept from a read that filled little of it

  // The send lock: guards the send side (a caller of sendImmediately() writes under it, and sendMade() makes its
  // bytes under it).
  std::mutex sendMutex_;
  bool writing_ = false;
  std::deque<PendingSend> sends_;
  std::size_t queuedBytes_ = 0;  // the bytes of sends_
  std::optional<boost::system::error_code> sendsEnded_;  // why sends fail from now on
  int directWriteHandle_ = -1;                            // the open socket while ready; closed under sendMutex_
};

}  // namespace veltrano::platform
