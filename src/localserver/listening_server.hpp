#pragma once
// The listener discipline shared by the local servers (control, file, audio, video): one listener per start
// with its own generation, start() callers waiting together for ready, states of older listeners ignored, and
// accepted connections held as pending until the concrete server has authenticated them.
//
// A concrete server derives from this class, is owned by a std::shared_ptr, and provides:
//  - authenticateConnection(connection, id): runs in a new task on the server's executor once the connection is
//    ready; it runs the handshake and takes the connection out of `pendingConnections_` when it succeeds;
//  - removeConnection(id): runs in a new task when a connection fails or is cancelled (by default it drops the
//    pending entry);
//  - a receive loop per authenticated client, started with startReceiving();
//  - its own stop(), built from stopListening() first and finishStopping() last.
//
// Threads: every field changes on the server's executor (its strand) only. Listener and connection handlers run
// on the shared I/O threads; they touch nothing of the server and only start work on its executor, holding the
// server weakly, so a server that is gone is not kept alive by its listener. Receive loops hold it weakly while
// they wait for the network, so a server is not kept alive by its clients either.
#include <boost/asio/awaitable.hpp>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <unordered_map>
#include <vector>

#include "base/clock.hpp"
#include "base/continuation.hpp"
#include "base/executors.hpp"
#include "base/uuid.hpp"
#include "core/log_throttle.hpp"
#include "localserver/listener_cancellation_waiter.hpp"
#include "localserver/listener_log_lines.hpp"
#include "platform/net/network_listener.hpp"
#include "platform/net/service_class.hpp"
#include "platform/net/tcp_connection.hpp"
#include "platform/net/tcp_parameters.hpp"

namespace veltrano {

class ListeningServer : public std::enable_shared_from_this<ListeningServer> {
 public:
  using ConnectionID = platform::TcpConnection::ID;
  // Makes the listener for a start; may throw, which start() passes on.
  using ListenerFactory = std::function<std::shared_ptr<platform::NetworkListener>(std::uint16_t port,
                                                                                   const platform::TcpParameters&)>;

  struct Configuration {
    std::uint16_t port = 0;  // 0: any free port (tests); listeningPort() tells which
    platform::ServiceClass serviceClass = platform::ServiceClass::bestEffort;
    ListenerLogLines logLines;
    ListenerFactory makeListener;  // empty: a TcpListener
    std::chrono::milliseconds listenerCancellationTimeout = defaultListenerCancellationTimeout;
    Clock* clock = nullptr;  // times the log throttles; null: the system clock
  };

  // A server dropped without a stop still closes its listener, its pending connections and the connections of its
  // receive loops (silently).
  virtual ~ListeningServer();
  ListeningServer(const ListeningServer&) = delete;
  ListeningServer& operator=(const ListeningServer&) = delete;

  // Brings the listener to ready, or joins a start in progress. Returns once ready; throws the listener's
  // failure (platform::NetworkError) or CancellationError when the listener is cancelled or the server stops
  // meanwhile, and whatever creating the listener threw. Callable from any executor.
  boost::asio::awaitable<void> start();

  const Strand& executor() const { return strand_; }
  // The port the current listener is bound to; 0 while not listening. Any thread.
  std::uint16_t listeningPort() const { return listeningPort_.load(); }

 protected:
  ListeningServer(Strand executor, Configuration configuration);

  // --- What the concrete server provides (called on its executor) ---
  virtual boost::asio::awaitable<void> authenticateConnection(std::shared_ptr<platform::TcpConnection> connection,
                                                              ConnectionID connectionID) = 0;
  virtual boost::asio::awaitable<void> removeConnection(ConnectionID connectionID);

  // --- The pattern's operations (on the server's executor) ---
  void handleListenerState(const platform::NetworkState& state, const Uuid& generation);
  void detachListener();
  void resumeStartWaiters();
  void failStartWaiters(std::exception_ptr error);
  void acceptConnection(std::shared_ptr<platform::TcpConnection> connection);

  // The first steps of a stop: forgets the listener (its late states are then ignored), fails the start waiters
  // with a cancellation error, and cancels every pending connection without a state report. Returns the listener
  // for finishStopping(), or nullptr when there was none.
  std::shared_ptr<platform::NetworkListener> stopListening();
  // The last step of a stop: stops the old listener's new connections, cancels it and waits until it is gone.
  boost::asio::awaitable<void> finishStopping(std::shared_ptr<platform::NetworkListener> oldListener);

  // Handles one receive of a client's loop on the loop's executor; false ends the loop.
  using ReceiveStep =
      std::function<boost::asio::awaitable<bool>(ListeningServer& server, platform::TcpConnection::ReceiveResult)>;
  // Starts a task on the server's executor that receives from `connection` (at most `maximumLength` bytes at a
  // time) and hands each result to `step` until it returns false or the server is gone; `onEnd` runs once when the
  // loop ends either way.
  void startReceiving(std::shared_ptr<platform::TcpConnection> connection, std::size_t maximumLength, ReceiveStep step,
                      std::function<void()> onEnd = {});
  // The same loop on `sequence`, a strand of the client's own: its steps touch no field of the server, and
  // clients are served side by side.
  void startReceivingOn(const Strand& sequence, std::shared_ptr<platform::TcpConnection> connection,
                        std::size_t maximumLength, ReceiveStep step, std::function<void()> onEnd = {});

  void writeLogLine(const std::optional<ListenerLogLine>& line, std::string_view detail = {}) const;
  // A line about one of the listener's connections (a failed handshake, a closed connection), throttled per kind
  // across the listener so that a flood of connections cannot flood the log. Any thread.
  void writeConnectionLogLine(std::string_view kind, LogCategory category, const std::function<std::string()>& build);
  void writeConnectionLogLine(std::string_view kind, const std::optional<ListenerLogLine>& line,
                              std::string_view detail = {});
  // The port asked for at creation (0: any free port).
  std::uint16_t configuredPort() const { return port_; }
  // The clock of the log throttles, for throttles of the server's own (one per connection).
  Clock& logClock() const { return logClock_; }

  // The listener's state, read on the server's executor.
  bool hasListener() const { return listener_ != nullptr; }
  const std::optional<Uuid>& listenerGeneration() const { return listenerGeneration_; }
  std::size_t startWaiterCount() const { return startWaiters_.size(); }

  // Accepted connections not yet authenticated (strand).
  std::unordered_map<ConnectionID, std::shared_ptr<platform::TcpConnection>> pendingConnections_;

 private:
  std::shared_ptr<platform::NetworkListener> makeListener() const;
  static boost::asio::awaitable<void> receiveLoop(std::weak_ptr<ListeningServer> weakServer,
                                                  std::shared_ptr<platform::TcpConnection> connection,
                                                  std::size_t maximumLength, ReceiveStep step,
                                                  std::function<void()> onEnd);
  void closeServedConnections();

  // Strand state.
  std::shared_ptr<platform::NetworkListener> listener_;
  std::optional<Uuid> listenerGeneration_;
  bool listenerIsReady_ = false;
  std::vector<Continuation<>> startWaiters_;
  // Connections whose receive loop runs, held weakly: closed when the server is dropped.
  std::unordered_map<ConnectionID, std::weak_ptr<platform::TcpConnection>> servedConnections_;
  const std::uint16_t port_;

  const Strand strand_;
  const Configuration configuration_;
  Clock& logClock_;
  LogThrottle connectionLogThrottle_;
  std::atomic<std::uint16_t> listeningPort_{0};
};

}  // namespace veltrano
