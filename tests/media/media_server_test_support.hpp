#pragma once
// Shared pieces of the media server tests: a server on a loopback port with an in-memory account key and a
// virtual clock, frames to feed it, a keyframe target that counts requests, and readers for what clients get.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "base/actor.hpp"
#include "base/clock.hpp"
#include "base/executors.hpp"
#include "core/log_capture.hpp"
#include "core/metrics_store.hpp"
#include "media/encoded_video_frame.hpp"
#include "media/media_envelope.hpp"
#include "media/media_stream_server.hpp"
#include "platform/net/net_test_support.hpp"
#include "platform/net/tcp_connection.hpp"
#include "support/local_test_client.hpp"
#include "transport/local_transport_handshake_driver.hpp"
#include "transport/veltrano_identity.hpp"
#include "support/eventually.hpp"

namespace veltrano::testing {

using namespace std::chrono_literals;

// Runs `read` with the server on its executor and returns what it returns.
template <class Server, class Read>
auto onExecutor(const std::shared_ptr<Server>& server, Read read) {
  using Result = decltype(read(*server));
  return runBlocking(runOn(server->executor(), [](Server* s, Read r) -> asio::awaitable<Result> {
    co_return r(*s);
  }(server.get(), std::move(read))));
}

class CountingKeyframeTarget final : public KeyframeRequestTarget {
 public:
  void requestKeyframe() override { ++requests; }
  std::atomic<int> requests{0};
};

// Baseline 3.0 parameter sets; `variant` changes the PPS so that two sets differ.
inline VideoParameterSets testParameterSets(std::uint32_t width = 640, std::uint32_t height = 480,
                                            std::uint8_t variant = 0) {
  VideoParameterSets sets;
  sets.codedWidth = width;
  sets.codedHeight = height;
  sets.sps = {{0x67, 0x42, 0xC0, 0x1E, 0xDA, 0x02, 0x80, 0xBF, 0xE5}};
  sets.pps = {{0x68, 0xCE, 0x3C, static_cast<std::uint8_t>(0x80 | variant)}};
  return sets;
}

inline EncodedVideoFrame makeFrame(bool keyframe, std::uint64_t pts, std::size_t size = 64,
                                   std::optional<VideoParameterSets> sets = std::nullopt) {
  EncodedVideoFrame frame;
  frame.keyframe = keyframe;
  frame.presentationTimeMicros = pts;
  frame.accessUnit.assign(size, static_cast<std::uint8_t>(pts));
  if (keyframe) frame.parameterSets = sets ? std::move(sets) : std::optional(testParameterSets());
  return frame;
}
inline EncodedVideoFrame keyframe(std::uint64_t pts, std::size_t size = 64) { return makeFrame(true, pts, size); }
inline EncodedVideoFrame delta(std::uint64_t pts, std::size_t size = 64) { return makeFrame(false, pts, size); }

// What one record told a client.
struct ReceivedMedia {
  MediaEnvelopeType type;
  Bytes payload;
  bool isKeyframe() const { return type == MediaEnvelopeType::videoFrame && (payload.at(0) & 1) != 0; }
  std::uint64_t videoPts() const { return parseVideoFramePayload(payload)->presentationTimeMicros; }
};

inline std::optional<ReceivedMedia> nextMedia(LocalTestClient& client, std::chrono::milliseconds timeout = 3s) {
  auto record = client.nextRecordBlocking(timeout);
  if (!record) return std::nullopt;
  auto envelope = parseMediaEnvelope(*record);
  if (!envelope) throw std::runtime_error("a record that is not one media envelope");
  return ReceivedMedia{envelope->type, Bytes(envelope->payload.begin(), envelope->payload.end())};
}

// A client that completes the handshake and then never reads: its socket fills up.
inline std::shared_ptr<platform::TcpConnection> connectNonReadingClient(std::uint16_t port,
                                                                       LocalTransportChannel channel,
                                                                       const platform::SigningKey& key) {
  return runBlocking([](std::uint16_t p, LocalTransportChannel c,
                        platform::SigningKey k) -> asio::awaitable<std::shared_ptr<platform::TcpConnection>> {
    auto connection = co_await platform::TcpConnection::connect("127.0.0.1", p, platform::TcpParameters{},
                                                                sharedIo().executor());
    co_await clientHandshake(connection, c, k);
    co_return connection;
  }(port, channel, key));
}

// An external sink that records what it was offered and accepts while told to. The one that tells its room
// has room while told to and records the size it was asked about.
struct RecordingSink {
  std::mutex mutex;
  std::vector<Bytes> offered;
  std::atomic<bool> accepting{true};
  std::atomic<bool> room{true};
  std::atomic<std::size_t> roomAskedFor{0};

  ExternalPacketSink sink() {
    return [this](const Bytes& envelope) {
      std::lock_guard lock(mutex);
      offered.push_back(envelope);
      return accepting.load();
    };
  }
  ExternalPacketSink sinkTellingRoom() {
    return ExternalPacketSink(sink(), [this](std::size_t size) {
      roomAskedFor = size;
      return room.load();
    });
  }
  std::size_t offeredBytes() {
    std::lock_guard lock(mutex);
    std::size_t total = 0;
    for (const auto& envelope : offered) total += envelope.size();
    return total;
  }
  std::vector<MediaEnvelopeType> takeTypes() {
    std::lock_guard lock(mutex);
    std::vector<MediaEnvelopeType> types;
    for (auto& envelope : offered) types.push_back(parseMediaEnvelope(envelope)->type);
    offered.clear();
    return types;
  }
};

// A server of type Server on a free loopback port, with a main loop for the metrics and a virtual clock.
template <class Server>
class MediaServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    metrics = std::make_shared<MetricsStore>();
    server = makeServer(0);
    runBlocking(server->start());
    port = server->listeningPort();
    ASSERT_NE(port, 0);
  }
  void TearDown() override {
    runBlocking(server->stop());
    // Connection handlers still running on I/O threads hold the server; it must be gone before the clock is.
    const std::weak_ptr<Server> released = server;
    server.reset();
    EXPECT_TRUE(eventually([&] { return released.expired(); }));
    main.drain();
  }

  std::shared_ptr<Server> makeServer(std::uint16_t onPort, std::shared_ptr<ClientCountTally> tally = nullptr) {
    MediaServerDependencies dependencies;
    dependencies.identityProvider = [key = accountKey] { return VeltranoIdentity(key); };
    dependencies.clock = &clock;
    if (tally) dependencies.clientCountTally = std::move(tally);
    return Server::create(onPort, metrics, dependencies);
  }

  std::shared_ptr<LocalTestClient> connectClient(std::size_t expectedClients) {
    auto client = LocalTestClient::connectBlocking(port, channel(), accountKey);
    EXPECT_TRUE(waitForClients(expectedClients));
    return client;
  }
  bool waitForClients(std::size_t count) {
    return eventually([&] { return onExecutor(server, [](Server& s) { return s.clients().size(); }) == count; });
  }
  static LocalTransportChannel channel();

  // Runs the main loop until the metric reaches `value`.
  bool metricReaches(const ObservableProperty<std::int64_t>& field, std::int64_t value) {
    return main.runUntil([&] { return field.get() == value; }, 5s);
  }

  MainLoopForTests main;
  ScopedLogCapture logs;
  VirtualClock clock;
  platform::SigningKey accountKey = platform::SigningKey::generate();
  std::shared_ptr<MetricsStore> metrics;
  std::shared_ptr<Server> server;
  std::uint16_t port = 0;
};

}  // namespace veltrano::testing
