#pragma once
// What the video and the audio stream servers share: the listener, the handshake of every client on the media
// channel, a queue per client whose packets are sealed one at a time as the previous record has been written
// (so a slow client costs the host at most its few waiting packets), the receive side that authenticates and
// discards whatever a client sends, the external packet sink of the remote transport, and the client count.
//
// Threads: the state changes on executor() only. Callers on other executors hop there through the public
// awaitable operations; code already on the executor (the remote update, tests) may read it.
#include <boost/asio/awaitable.hpp>
#include <boost/asio/post.hpp>

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "base/clock.hpp"
#include "base/encoding.hpp"
#include "core/log_category.hpp"
#include "core/metrics_batch.hpp"
#include "core/metrics_store.hpp"
#include "localserver/identity_provider.hpp"
#include "media/external_media_outlet.hpp"
#include "localserver/listening_server.hpp"
#include "media/client_count_tally.hpp"
#include "transport/local_transport_channel.hpp"
#include "transport/local_transport_session.hpp"
#include "transport/veltrano_identity.hpp"

namespace veltrano {

// Told the total of local and external clients after every publication.
using ClientCountHandler = std::function<void(int total)>;

struct MediaServerDependencies {
  IdentityProvider identityProvider;  // empty: the account key file, read again for every handshake
  Clock* clock = nullptr;             // keyframe-request and log throttles; null: the system clock
  // Shared by the servers whose counts go to the same metric (one video server per display); null: this
  // server's count is the metric.
  std::shared_ptr<ClientCountTally> clientCountTally;
};

// One envelope waiting for its turn on a client's connection, shared by every client that gets it.
struct MediaPacket {
  std::shared_ptr<const Bytes> envelope;
  bool isFrame = false;  // configuration packets do not count against a client's waiting frames
};

// One authenticated local client.
struct MediaClient {
  virtual ~MediaClient() = default;
  std::size_t waitingFrameCount() const;

  std::shared_ptr<platform::TcpConnection> connection;
  std::shared_ptr<LocalTransportSession> session;
  std::deque<MediaPacket> queue;  // not yet sealed
  bool sendInFlight = false;      // a record has been handed to the connection and not yet written
};

class MediaStreamServer : public ListeningServer {
 public:
  // Frame packets a client may have waiting behind the record being written.
  static constexpr std::size_t maximumWaitingFrames = 2;
  // Reads from a client, like the other local servers.
  static constexpr std::size_t receiveChunkSize = 65536;

  // Fails pending start waiters, closes every connection (pending and authenticated), clears the external sink
  // and the stream state of the concrete server, reports 0 clients, then cancels the listener and waits until it
  // is gone, so the port can be bound again at once. Harmless on a server that never started. Never throws.
  boost::asio::awaitable<void> stop();

  // Publishes local clients plus the external client count: to the metrics store on the main thread when it
  // differs, then to the client count handler.
  boost::asio::awaitable<void> publishClientCount();

  // Total of local and external clients as last published (0 once stopped). Any thread; the capture service
  // reads it to know whether anyone watches.
  int viewerCount() const { return viewerCount_.load(); }

  // Sets the client count handler on the executor.
  boost::asio::awaitable<void> setClientCountHandler(ClientCountHandler handler);

  // --- Executor state ---
  using Clients = std::unordered_map<ConnectionID, std::shared_ptr<MediaClient>>;
  const Clients& clients() const;  // the authenticated local clients
  int externalClientCount() const;
  bool hasExternalPacketSink() const;

 protected:
  using CounterField = ObservableProperty<std::int64_t> MetricsStore::*;

  // What differs between the two servers.
  struct Kind {
    LocalTransportChannel channel;
    platform::ServiceClass serviceClass;
    std::string name;  // "video" or "audio", in log lines
    CounterField clientsMetric;
    CounterField bytesSentMetric;
    CounterField framesDroppedMetric;
  };

  enum class SinkOutcome { noSink, accepted, refused };

  MediaStreamServer(std::uint16_t port, std::weak_ptr<MetricsStore> metrics, Kind kind,
                    MediaServerDependencies dependencies);
  ~MediaStreamServer() override;

  // --- What the concrete server provides (on the executor) ---
  virtual std::shared_ptr<MediaClient> makeClient() const = 0;
  // A new client has been registered: queue what it needs first.
  virtual void clientJoined(const std::shared_ptr<MediaClient>& client) = 0;
  // The server is stopping: forget the stream's state.
  virtual void forgetStreamState() {}

  // --- Helpers for the concrete server (on the executor) ---
  void enqueue(const std::shared_ptr<MediaClient>& client, MediaPacket packet);
  // Seals and writes the front packet unless a record is being written.
  void pump(const std::shared_ptr<MediaClient>& client);
  // Offers an envelope to the external sink. A refusal is counted as dropped and logged at most every 2 s.
  SinkOutcome offerToExternalSink(const Bytes& envelope);
  // Takes the remote transport's count (below 1 means none) and its sink (kept only while it has clients);
  // returns the count before.
  int replaceExternalClients(int count, ExternalPacketSink sink);
  const ExternalPacketSink& externalPacketSink() const;
  // Batched on their way to the main thread (see MetricsBatch).
  void addToCounter(CounterField field, std::int64_t amount) const;
  void countDropped(std::int64_t amount) const;
  Clock& clock() const { return *clock_; }
  const Kind& kind() const { return kind_; }

  // Queues `work(server)` on the executor without waiting, and drops it when the server is gone by then. For
  // the producers' submissions, which come from their own threads. `Server` is the concrete server's class.
  template <class Server, class Work>
  void postWhileAlive(Work work) {
    std::weak_ptr<Server> weakServer = std::static_pointer_cast<Server>(shared_from_this());
    boost::asio::post(executor(), [weakServer, work = std::move(work)]() mutable {
      if (auto server = weakServer.lock()) work(*server);
    });
  }

 private:
  boost::asio::awaitable<void> authenticateConnection(std::shared_ptr<platform::TcpConnection> connection,
                                                      ConnectionID connectionID) override;
  boost::asio::awaitable<void> removeConnection(ConnectionID connectionID) override;
  // One receive of a client's loop (ListeningServer::startReceiving); false ends it.
  boost::asio::awaitable<bool> handleReceived(std::shared_ptr<MediaClient> client,
                                              platform::TcpConnection::ReceiveResult received);
  void sendCompleted(const std::shared_ptr<MediaClient>& client, std::size_t recordSize,
                     boost::system::error_code error);
  bool isRegistered(const std::shared_ptr<MediaClient>& client) const;
  // Stores this server's total in the clients metric (through the tally when there is one).
  void storeClientCount(int total) const;

  // Increments of counter fields since the last batch.
  struct CounterIncrements {
    std::vector<std::pair<CounterField, std::int64_t>> amounts;  // a few distinct fields
    bool empty() const { return amounts.empty(); }
    void add(CounterField field, std::int64_t amount);
    void applyTo(MetricsStore& store) const;
  };

  const std::weak_ptr<MetricsStore> metrics_;
  const Kind kind_;
  const std::shared_ptr<MetricsBatch<CounterIncrements>> counters_;  // executor
  const IdentityProvider identityProvider_;
  Clock* const clock_;
  const std::shared_ptr<ClientCountTally> clientCountTally_;
  std::optional<Clock::TimePoint> lastCongestionLogAt_;
  std::atomic<int> viewerCount_{0};

  // Executor state.
  Clients clients_;
  int externalClientCount_ = 0;
  ExternalPacketSink externalPacketSink_;
  ClientCountHandler clientCountHandler_;
};

}  // namespace veltrano
