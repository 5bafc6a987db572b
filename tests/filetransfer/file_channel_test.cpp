#include <gtest/gtest.h>

#include <algorithm>
#include <thread>

#include "base/actor.hpp"
#include "base/task.hpp"
#include "filetransfer/file_transfer_test_support.hpp"
#include "filetransfer/local_file_transfer_server.hpp"
#include "support/local_test_client.hpp"
#include "support/eventually.hpp"

using namespace veltrano;
using namespace veltrano::testing;
using namespace std::chrono_literals;
using json::Json;
namespace asio = boost::asio;
namespace fs = std::filesystem;

namespace {

const std::string sessionA = "5a0e3d7c-1b2f-4c8d-9e6a-7f1b2c3d4e5f";
const std::string sessionB = "6a0e3d7c-1b2f-4c8d-9e6a-7f1b2c3d4e5f";

Bytes line(const Json& message) {
  std::string text = json::dump(message) + "\n";
  return Bytes(text.begin(), text.end());
}

Bytes bindRecord(const std::string& sessionID) {
  return line(Json{{"type", "bindFileChannel"}, {"sessionID", sessionID}});
}

// A file server on a free loopback port that records what its callbacks receive.
class FileServerFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    LocalFileTransferServer::Options options;
    options.port = 0;
    options.identityProvider = [key = key] { return VeltranoIdentity(key); };
    server = LocalFileTransferServer::create(options);
    auto events = events_;
    server->setOnFileData([events](std::string sessionID, Bytes record) -> asio::awaitable<void> {
      std::lock_guard lock(events->mutex);
      events->data.emplace_back(sessionID, record);
      co_return;
    });
    server->setOnSessionDisconnected([events](std::string sessionID) -> asio::awaitable<void> {
      std::lock_guard lock(events->mutex);
      events->disconnected.push_back(sessionID);
      co_return;
    });
    runBlocking(server->start());
    port = server->listeningPort();
  }
  void TearDown() override { runBlocking(server->stop()); }

  std::shared_ptr<LocalTestClient> connect() {
    return LocalTestClient::connectBlocking(port, LocalTransportChannel::file, key);
  }
  std::shared_ptr<LocalTestClient> connectBound(const std::string& sessionID) {
    auto client = connect();
    client->sendRecord(bindRecord(sessionID));
    // Bound once data for the session reaches this client (an older one may still be bound for a moment). Each
    // probe is one of its own, and a probe that came late is read past: once this one is in, none is on its way.
    std::uint8_t probe = 0;
    EXPECT_TRUE(eventually(
        [&] {
          ++probe;
          if (!runBlocking(server->sendFileData(Bytes{probe}, sessionID))) return false;
          while (const std::optional<Bytes> record = client->nextRecordBlocking(1s)) {
            if (*record == Bytes{probe}) return true;
          }
          return false;
        },
        30s));
    return client;
  }
  std::vector<std::pair<std::string, Bytes>> data() {
    std::lock_guard lock(events_->mutex);
    return events_->data;
  }
  std::vector<std::string> disconnected() {
    std::lock_guard lock(events_->mutex);
    return events_->disconnected;
  }

  platform::SigningKey key = platform::SigningKey::generate();
  std::shared_ptr<LocalFileTransferServer> server;
  std::uint16_t port = 0;

 private:
  struct Events {
    std::mutex mutex;
    std::vector<std::pair<std::string, Bytes>> data;
    std::vector<std::string> disconnected;
  };
  std::shared_ptr<Events> events_ = std::make_shared<Events>();
};

}  // namespace

TEST_F(FileServerFixture, BindThenFramesInOneRead) {
  runBlocking(server->registerSession(sessionA));
  auto client = connect();
  Bytes batch = client->session()->seal(bindRecord(sessionA));
  for (Bytes frame : {Bytes{1, 2}, Bytes{3}}) {
    auto record = client->session()->seal(frame);
    batch.insert(batch.end(), record.begin(), record.end());
  }
  client->sendRaw(batch);
  ASSERT_TRUE(eventually([&] { return data().size() == 2; }));
  EXPECT_EQ(data()[0], (std::pair<std::string, Bytes>{sessionA, Bytes{1, 2}}));
  EXPECT_EQ(data()[1], (std::pair<std::string, Bytes>{sessionA, Bytes{3}}));
  // A later bind message is just data.
  client->sendRecord(bindRecord(sessionA));
  ASSERT_TRUE(eventually([&] { return data().size() == 3; }));
}

TEST_F(FileServerFixture, BindRefusalsCloseTheConnection) {
  runBlocking(server->registerSession(sessionA));
  std::string upper = sessionA;
  std::transform(upper.begin(), upper.end(), upper.begin(), ::toupper);
  const std::vector<Bytes> refused = {
      Bytes(),
      [] { auto b = bindRecord(sessionA); b.pop_back(); return b; }(),
      line(Json{{"type", "bindChannel"}, {"sessionID", sessionA}}),
      line(Json{{"type", "bindFileChannel"}}),
      line(Json{{"type", "bindFileChannel"}, {"sessionID", sessionB}}),  // never registered
      line(Json::object()),
      Bytes{'{', '\n'},
  };
  for (const auto& record : refused) {
    auto client = connect();
    client->sendRecord(record);
    EXPECT_TRUE(client->waitUntilClosedBlocking(3s));
  }
  EXPECT_TRUE(disconnected().empty());  // never bound: nobody to tell

  auto client = connect();
  client->sendRecord(bindRecord(upper));  // upper case binds the lowercase session
  ASSERT_TRUE(eventually([&] { return runBlocking(server->sendFileData(Bytes{7, 7}, sessionA)); }));
  EXPECT_EQ(client->nextRecordBlocking(2s), (Bytes{7, 7}));
}

TEST_F(FileServerFixture, SendingRecordsAndTheirLimit) {
  runBlocking(server->registerSession(sessionA));
  EXPECT_FALSE(runBlocking(server->sendFileData(Bytes{1}, sessionA)));  // registered but not bound: nothing closes
  auto client = connectBound(sessionA);
  EXPECT_FALSE(runBlocking(server->sendFileData(Bytes(65537, 1), sessionA)));
  EXPECT_TRUE(runBlocking(server->sendFileData(Bytes(65536, 2), sessionA)));
  EXPECT_EQ(client->nextRecordBlocking(2s), Bytes(65536, 2));
  EXPECT_FALSE(runBlocking(server->sendFileData(Bytes{1}, "not-a-session")));
  EXPECT_TRUE(disconnected().empty());
}

TEST_F(FileServerFixture, NewerBindWinsAndRevokeIsSilent) {
  runBlocking(server->registerSession(sessionA));
  auto first = connectBound(sessionA);
  auto second = connectBound(sessionA);
  EXPECT_TRUE(first->waitUntilClosedBlocking(3s));
  EXPECT_TRUE(runBlocking(server->sendFileData(Bytes{9}, sessionA)));
  EXPECT_EQ(second->nextRecordBlocking(2s), Bytes{9});

  runBlocking(server->revokeSession(sessionA));
  EXPECT_TRUE(second->waitUntilClosedBlocking(3s));
  EXPECT_FALSE(runBlocking(server->sendFileData(Bytes{9}, sessionA)));
  std::this_thread::sleep_for(50ms);
  EXPECT_TRUE(disconnected().empty());

  // A bound client whose peer closes is reported once.
  runBlocking(server->registerSession(sessionB));
  auto third = connectBound(sessionB);
  third->close();
  ASSERT_TRUE(eventually([&] { return disconnected().size() == 1; }));
  std::this_thread::sleep_for(50ms);
  EXPECT_EQ(disconnected(), std::vector<std::string>{sessionB});
}

// The coordinator driven over real sockets: the file channel on the file server, the JSON messages through the
// shared routing (the control server's part), receipts and frames from a test client.
class LoopbackTransferTest : public FileServerFixture {
 protected:
  void SetUp() override {
    FileServerFixture::SetUp();
    // Replace the recording callbacks with the host's wiring.
    std::weak_ptr<RemoteFileTransferCoordinator> weakCoordinator = coordinator;
    server->setOnFileData([weakCoordinator](std::string sessionID, Bytes record) -> asio::awaitable<void> {
      if (auto coordinator = weakCoordinator.lock()) co_await coordinator->handleIncomingChunk(record, sessionID);
    });
    server->setOnSessionDisconnected([weakCoordinator](std::string sessionID) -> asio::awaitable<void> {
      co_await runOn(mainExecutor(), [](std::weak_ptr<RemoteFileTransferCoordinator> weak,
                                        std::string sessionID) -> asio::awaitable<void> {
        if (auto coordinator = weak.lock()) coordinator->failTransfers(sessionID, "channelUnavailable");
        co_return;
      }(weakCoordinator, sessionID));
    });
    runBlocking(server->registerSession(sessionA));
    std::weak_ptr<LocalFileTransferServer> weakServer = server;
    control.endpoint = std::make_shared<RemoteFileTransferEndpoint>(
        control.endpoint->controlSink, [weakServer](Bytes frame) -> asio::awaitable<bool> {
          auto server = weakServer.lock();
          if (!server) co_return false;
          co_return co_await server->sendFileData(std::move(frame), sessionA);
        });
    fileClient = runBlocking(LocalTestClient::connect(port, LocalTransportChannel::file, key, {}));
    fileClient->sendRecord(bindRecord(sessionA));
  }

  void send(const Json& message) { routeFileTransferMessage(*coordinator, message, sessionA, control.endpoint); }
  bool until(const std::function<bool()>& condition) { return loop.runUntil(condition, 30s); }
  // Runs the main loop for a while, so that anything still under way arrives.
  void settle() { loop.runUntil([] { return false; }, 100ms); }

  // Reads download frames from the file channel and confirms each, as a tablet does.
  void receiveDownload(std::size_t stopAfterFrames = SIZE_MAX) {
    Task::spawn(sharedIo().executor(), [client = fileClient, received = received, weak = std::weak_ptr(coordinator),
                                        endpoint = control.endpoint, stopAfterFrames](TaskToken) -> asio::awaitable<void> {
      std::size_t frames = 0;
      while (frames < stopAfterFrames) {
        std::optional<Bytes> record;
        try {
          record = co_await client->nextRecord(5s);
        } catch (...) {
          co_return;
        }
        if (!record) co_return;
        auto chunk = decodeChunkFrame(*record);
        {
          std::lock_guard lock(received->mutex);
          received->bytes.insert(received->bytes.end(), chunk.payload.begin(), chunk.payload.end());
        }
        if (++frames == stopAfterFrames) co_return;
        confirmOnMain(weak, sessionA, endpoint, chunk.transferID, chunk.offset + chunk.payload.size());
      }
    });
  }
  Bytes receivedBytes() {
    std::lock_guard lock(received->mutex);
    return received->bytes;
  }

  MainLoopForTests loop;
  TempFolder folder;
  std::shared_ptr<ScriptedPanels> panels = std::make_shared<ScriptedPanels>();
  std::shared_ptr<RemoteFileTransferCoordinator> coordinator = RemoteFileTransferCoordinator::create(panels);
  RecordingClient control;
  std::shared_ptr<LocalTestClient> fileClient;
  struct Received {
    std::mutex mutex;
    Bytes bytes;
  };
  std::shared_ptr<Received> received = std::make_shared<Received>();
};

TEST_F(LoopbackTransferTest, DownloadOverTheFileChannel) {
  const auto content = randomBytes(10 * 1024 * 1024 + 3);
  writeFile(folder / "movie.bin", content);
  send(Json{{"type", "filePickerRequest"}});
  panels->last()->choose(folder / "movie.bin");
  ASSERT_TRUE(until([&] { return control.find("fileOffer").has_value(); }));
  const auto id = *json::stringMember(*control.find("fileOffer"), "transferID");
  receiveDownload();
  send(Json{{"type", "fileAccept"}, {"transferID", id}});
  ASSERT_TRUE(until([&] { return control.find("fileComplete").has_value(); }));
  EXPECT_EQ(*control.find("fileComplete"),
            (Json{{"type", "fileComplete"}, {"transferID", id}, {"size", content.size()}, {"sha256", sha256Hex(content)}}));
  EXPECT_EQ(receivedBytes(), content);
}

TEST_F(LoopbackTransferTest, UploadFramesAndReceiptsDoNotNeedTheMainThread) {
  const auto content = randomBytes(5 * 49152 + 1);
  const std::string id = "d00dfeed-0000-4000-8000-000000000001";
  send(uploadOffer(id, "in.bin", content.size()));
  panels->last()->choose(folder / "in.bin");
  ASSERT_TRUE(until([&] { return control.find("fileUploadAccept").has_value(); }));

  // The main loop stands still from here until "fileComplete": every frame must be written and confirmed anyway.
  for (const auto& frame : chunkFrames(id, content)) fileClient->sendRecord(frame);
  ASSERT_TRUE(eventually([&] { return control.receiptOffsets().size() == 6; }, 30s));
  EXPECT_EQ(control.receiptOffsets(), (std::vector<std::uint64_t>{49152, 98304, 147456, 196608, 245760, 245761}));
  EXPECT_EQ(folder.hiddenNames(), std::vector<std::string>{".veltrano-" + id + ".download"});

  send(uploadComplete(id, content.size(), sha256Hex(content)));
  ASSERT_TRUE(until([&] { return control.find("fileUploadStored").has_value(); }));
  EXPECT_EQ(readFile(folder / "in.bin"), content);
  EXPECT_TRUE(folder.hiddenNames().empty());
}

namespace {

// The offsets of one receipt per frame of an upload of `size` bytes, in order.
std::vector<std::uint64_t> frameEnds(std::size_t size) {
  std::vector<std::uint64_t> ends;
  for (std::size_t end = 0; end < size;) {
    end = std::min(size, end + maximumChunkPayloadSize);
    ends.push_back(end);
  }
  return ends;
}

}  // namespace

TEST_F(LoopbackTransferTest, UploadReceiptsComeOnePerFrameInOrderHoweverTheClientSends) {
  // A client that sends each frame only once the one before is confirmed: no later frame comes to push a receipt
  // out, so each has to leave by itself.
  const auto stepwise = randomBytes(12 * 49152 + 5, 11);
  const std::string stepwiseID = "d00dfeed-0000-4000-8000-000000000003";
  send(uploadOffer(stepwiseID, "stepwise.bin", stepwise.size()));
  panels->last()->choose(folder / "stepwise.bin");
  ASSERT_TRUE(until([&] { return control.find("fileUploadAccept").has_value(); }));
  const auto frames = chunkFrames(stepwiseID, stepwise);
  for (std::size_t i = 0; i < frames.size(); ++i) {
    fileClient->sendRecord(frames[i]);
    ASSERT_TRUE(eventually([&] { return control.receiptOffsets().size() == i + 1; })) << "frame " << i;
  }
  EXPECT_EQ(control.receiptOffsets(), frameEnds(stepwise.size()));
  send(uploadComplete(stepwiseID, stepwise.size(), sha256Hex(stepwise)));
  ASSERT_TRUE(until([&] { return control.find("fileUploadStored").has_value(); }));
  EXPECT_EQ(readFile(folder / "stepwise.bin"), stepwise);

  // A client that sends everything at once: the channel reads ahead of the writer, and still every frame gets its
  // own receipt, in order.
  const auto from = control.count();
  const auto burst = randomBytes(200 * 49152 + 77, 12);
  const std::string burstID = "d00dfeed-0000-4000-8000-000000000004";
  send(uploadOffer(burstID, "burst.bin", burst.size()));
  panels->last()->choose(folder / "burst.bin");
  ASSERT_TRUE(until([&] { return control.find("fileUploadAccept", {}, from).has_value(); }));
  const auto expected = frameEnds(burst.size());
  for (const auto& frame : chunkFrames(burstID, burst)) fileClient->sendRecord(frame);
  const auto burstReceipts = [&] {
    auto offsets = control.receiptOffsets();
    offsets.erase(offsets.begin(), offsets.begin() + static_cast<std::ptrdiff_t>(frames.size()));
    return offsets;
  };
  ASSERT_TRUE(eventually([&] { return burstReceipts().size() >= expected.size(); }, 30s));
  EXPECT_EQ(burstReceipts(), expected);
  send(uploadComplete(burstID, burst.size(), sha256Hex(burst)));
  ASSERT_TRUE(until([&] { return control.find("fileUploadStored", {}, from).has_value(); }));
  EXPECT_EQ(readFile(folder / "burst.bin"), burst);
  EXPECT_TRUE(folder.hiddenNames().empty());
}

TEST_F(LoopbackTransferTest, AChannelCutWhileFramesWaitForTheWriterLeavesNothingBehind) {
  const auto content = randomBytes(300 * 49152, 13);
  const std::string id = "d00dfeed-0000-4000-8000-000000000005";
  send(uploadOffer(id, "cut.bin", content.size()));
  panels->last()->choose(folder / "cut.bin");
  ASSERT_TRUE(until([&] { return control.find("fileUploadAccept").has_value(); }));
  for (const auto& frame : chunkFrames(id, content)) fileClient->sendRecord(frame);
  ASSERT_TRUE(eventually([&] { return control.receiptOffsets().size() >= 3; }));
  fileClient->close();
  ASSERT_TRUE(until([&] { return control.find("fileError").has_value(); }));
  ASSERT_TRUE(until([&] { return folder.hiddenNames().empty(); }));
  settle();
  EXPECT_EQ(*control.find("fileError"), file_messages::error("channelUnavailable", RemoteFileDirection::upload, id));
  EXPECT_EQ(json::stringMember(control.messages().back(), "type"), "fileError") << "no receipt after the error";
  EXPECT_FALSE(fs::exists(folder / "cut.bin"));
  EXPECT_FALSE(coordinator->isBusy());
  const auto offsets = control.receiptOffsets();
  const auto ends = frameEnds(content.size());
  ASSERT_LT(offsets.size(), ends.size());
  EXPECT_TRUE(std::equal(offsets.begin(), offsets.end(), ends.begin()));
}

TEST_F(LoopbackTransferTest, ChannelLossMidTransfer) {
  writeFile(folder / "f", randomBytes(400000));
  send(Json{{"type", "filePickerRequest"}});
  panels->last()->choose(folder / "f");
  ASSERT_TRUE(until([&] { return control.find("fileOffer").has_value(); }));
  const auto id = *json::stringMember(*control.find("fileOffer"), "transferID");
  receiveDownload(3);  // takes three frames, confirms two, then the tablet's file channel drops
  send(Json{{"type", "fileAccept"}, {"transferID", id}});
  ASSERT_TRUE(until([&] { return receivedBytes().size() == 3 * 49152; }));
  fileClient->close();
  ASSERT_TRUE(until([&] { return control.find("fileError").has_value(); }));
  EXPECT_EQ(*control.find("fileError"), (Json{{"type", "fileError"}, {"code", "channelUnavailable"}, {"transferID", id}}));
  EXPECT_FALSE(coordinator->isBusy());

  // An upload losing its channel: the partial file goes and the client hears why.
  fileClient = runBlocking(LocalTestClient::connect(port, LocalTransportChannel::file, key, {}));
  fileClient->sendRecord(bindRecord(sessionA));
  const std::string uploadID = "d00dfeed-0000-4000-8000-000000000002";
  send(uploadOffer(uploadID, "u", 100000));
  panels->last()->choose(folder / "u");
  ASSERT_TRUE(until([&] { return control.find("fileUploadAccept").has_value(); }));
  fileClient->sendRecord(encodeChunkFrame(uploadID, 0, randomBytes(49152)));
  ASSERT_TRUE(until([&] { return control.find("fileStatus", "received").has_value(); }));
  fileClient->close();
  ASSERT_TRUE(until([&] { return control.messages().back() == file_messages::error("channelUnavailable",
                                                                                  RemoteFileDirection::upload, uploadID); }));
  ASSERT_TRUE(until([&] { return folder.hiddenNames().empty(); }));
  EXPECT_FALSE(fs::exists(folder / "u"));
  const auto types = control.types();
  EXPECT_EQ(std::count(types.begin(), types.end(), "fileError"), 2) << "each transfer reports its loss once";
}
