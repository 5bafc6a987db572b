#pragma once
// NetworkHostServer: the control server (TCP port 9090). A client connects, proves through the control
// channel's handshake that it holds the account key, receives the hello message, then sends one JSON command per
// record, each ending in a line feed. Every command line goes to the input command handler and is answered with
// one record unless the command is a continuous pointer one; file-transfer messages go to the transfer
// coordinator instead. Each client also gets a file session on the file-channel server, and the server reports
// its client count.
//
// An actor on the shared listener (ListeningServer): every field changes on its strand, where clients are
// authenticated, registered and removed. Each client then has a sequence of its own (ControlClient::sequence):
// its receive loop opens its records, answers its pings and hands its commands on there, strictly one after
// another, and what the server sends to that client alone leaves from there; clients are served side by side.
// The command handler, the metrics store and the transfer coordinator are used on the main thread.
//
// The file-channel server and the transfer coordinator are optional: without either, clients get no file
// session endpoint, their hello carries no file keys and file-transfer messages are ignored.
#include <boost/asio/awaitable.hpp>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

#include "base/json.hpp"
#include "control/control_client.hpp"
#include "control/control_client_broadcaster.hpp"
#include "control/control_traffic_counters.hpp"
#include "control/input_command_handler.hpp"
#include "core/local_ports.hpp"
#include "core/metrics_store.hpp"
#include "filetransfer/local_file_transfer_server.hpp"
#include "filetransfer/remote_file_transfer_coordinator.hpp"
#include "localserver/identity_provider.hpp"
#include "localserver/listening_server.hpp"
#include "transport/local_transport_handshake_driver.hpp"
#include "transport/veltrano_identity.hpp"

namespace veltrano {

class NetworkHostServer final : public ListeningServer, public ControlClientBroadcaster {
 public:
  static constexpr std::uint16_t defaultPort = localPorts::control;
  // Largest read from a control connection at a time.
  static constexpr std::size_t maximumReadSize = 65536;
  // The command lines of all clients together: a few connections' worth.
  static constexpr LogThrottleLimits listenerCommandLogLimits{60, std::chrono::seconds(10)};
  // How long a client closed for a faulty record may take to read the replies already made for it.
  static constexpr std::chrono::milliseconds faultCloseSendTimeout{5000};

  using IdentityProvider = veltrano::IdentityProvider;
  // Receives the number of authenticated clients after every change; awaited on the server's strand.
  using ClientCountHandler = std::function<boost::asio::awaitable<void>(std::int64_t count)>;

  struct Options {
    std::uint16_t port = defaultPort;  // 0: any free port (tests)
    std::shared_ptr<InputCommandHandler> commandHandler;
    std::weak_ptr<MetricsStore> metrics;
    IdentityProvider identityProvider;  // empty: the account key file, read again for every handshake
    std::shared_ptr<LocalFileTransferServer> fileServer;
    std::shared_ptr<RemoteFileTransferCoordinator> fileTransfers;
    std::chrono::milliseconds handshakeStepTimeout = localHandshakeStepTimeout;
    ListenerFactory makeListener;  // empty: a TCP listener
    Clock* clock = nullptr;        // times the log throttles; null: the system clock
    // Test seam: awaited after a finished handshake has left the pending table and before the client is
    // stored, where a stop may overtake the registration.
    std::function<boost::asio::awaitable<void>()> beforeClientRegistration;
  };

  static std::shared_ptr<NetworkHostServer> create(Options options);

  // Set by the owner before start().
  void setOnClientCountChange(ClientCountHandler handler) { onClientCountChange_ = std::move(handler); }

  // Closes every client and pending connection, publishes a count of 0, and returns once the listener is gone
  // (its port can be bound again at once). A handshake that finishes during or after the stop is cancelled and
  // never registered.
  boost::asio::awaitable<void> stop();

  // Sends `message` to every client registered when the broadcast starts. Callable from any executor.
  boost::asio::awaitable<void> broadcast(json::Json message) override;

  // The file-channel server lost the file channel of `sessionID`: the client's transfers fail with
  // "channelUnavailable". Callable from any executor.
  boost::asio::awaitable<void> fileChannelLost(std::string sessionID);

  // The number of registered clients, read on the server's strand. Callable from any executor.
  boost::asio::awaitable<std::size_t> clientCount();

 protected:
  boost::asio::awaitable<void> authenticateConnection(std::shared_ptr<platform::TcpConnection> connection,
                                                      ConnectionID connectionID) override;
  boost::asio::awaitable<void> removeConnection(ConnectionID connectionID) override;

 private:
  explicit NetworkHostServer(Options options);
  std::shared_ptr<NetworkHostServer> self();


  // Registration steps (strand).
  RemoteFileTransferEndpointPtr makeFileEndpoint(const std::shared_ptr<ControlClient>& client);
  boost::asio::awaitable<void> publishClientCount();
  boost::asio::awaitable<void> sendLocalHello(std::shared_ptr<ControlClient> client);

  // The client's life after registration (the client's sequence); network_host_server_receive.cpp. The receive
  // loop runs in a task of its own that holds the server only while it handles what arrived.
  struct ReceiveState {
    std::set<std::string> pointerSessions;
    std::shared_ptr<LogThrottle> commandLog;  // throttles the client's command lines
  };
  void startReceiveLoop(std::shared_ptr<ControlClient> client, ConnectionID connectionID);
  // One receive of the loop; false ends it.
  boost::asio::awaitable<bool> handleReceived(std::shared_ptr<ControlClient> client, ConnectionID connectionID,
                                              platform::TcpConnection::ReceiveResult received,
                                              std::shared_ptr<ReceiveState> state);
  // Hands the commands of one batch on; false when the connection was closed for an invalid record or the
  // client was removed meanwhile.
  boost::asio::awaitable<bool> handleRecords(const std::shared_ptr<ControlClient>& client, ConnectionID connectionID,
                                             std::vector<Bytes> records, ReceiveState& state);
  // Closes the connection of a client whose record was faulty once what was already sent to it has left.
  boost::asio::awaitable<void> closeForFaultyRecord(const std::shared_ptr<ControlClient>& client,
                                                    ConnectionID connectionID);
  boost::asio::awaitable<void> handleFileTransferMessage(json::Json message, std::shared_ptr<ControlClient> client);
  static void endPointerSessions(const std::shared_ptr<InputCommandHandler>& handler,
                                 std::set<std::string> pointerSessions);

  // Queues one message for the client on its sequence, unless it was removed by then. Any thread.
  static void postToClient(json::Json message, std::shared_ptr<ControlClient> client);
  // Queues one message for the client and counts its bytes; never waits for the network (the client's sequence).
  static void sendJSON(const json::Json& message, const ControlClient& client);
  // Seals and sends one message; the record's size, 0 when nothing was sent. Any thread: with `immediately`
  // the caller's thread writes it when nothing else is on its way to the client. A client with too much
  // unread is disconnected.
  // `onSent`, when given, runs once the record was handed to the kernel or failed.
  static std::size_t sendMessage(const json::Json& message, const ControlClient& client, bool immediately,
                                 std::function<void()> onSent = nullptr);

  bool isRegistered(const std::shared_ptr<ControlClient>& client, ConnectionID connectionID) const;
  // True when a stop ran since `stopsSeen` was read.
  bool stoppedSince(std::uint64_t stopsSeen) const { return stopCount_ != stopsSeen; }

  std::unordered_map<ConnectionID, std::shared_ptr<ControlClient>> connections_;
  const std::shared_ptr<InputCommandHandler> commandHandler_;
  const std::weak_ptr<MetricsStore> metrics_;
  ClientCountHandler onClientCountChange_;
  const IdentityProvider identityProvider_;
  const std::shared_ptr<LocalFileTransferServer> fileServer_;
  const std::shared_ptr<RemoteFileTransferCoordinator> fileTransfers_;
  const std::chrono::milliseconds handshakeStepTimeout_;
  // Above every connection's command throttle: a client that reconnects after each command meets this one.
  const std::shared_ptr<LogThrottle> listenerCommandLog_;
  const std::function<boost::asio::awaitable<void>()> beforeClientRegistration_;
  // Raised by every stop: a registration that began before it must not complete.
  std::uint64_t stopCount_ = 0;
};

}  // namespace veltrano
