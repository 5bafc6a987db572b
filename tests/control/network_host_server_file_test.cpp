// The control server with its file collaborators: each client's file session in the hello, file-transfer
// messages routed to the coordinator, its control sink, and the session's end with the client.
#include "base/uuid.hpp"
#include "control_server_test_support.hpp"
#include "filetransfer/remote_file_chunk.hpp"
#include "support/run_blocking.hpp"

namespace veltrano::test {
namespace {

// The next message of a type, skipping others; nullopt when none came in time.
std::optional<Json> nextOfType(ControlServerHarness& harness, LocalTestClient& client, const std::string& type) {
  while (std::optional<Json> message = harness.next(client)) {
    if ((*message)["type"] == type) return message;
  }
  return std::nullopt;
}

TEST(ControlServerFileTransfer, ClientsGetAFileSessionAndTheirMessagesReachTheCoordinator) {
  FileCollaborators files;
  ControlServerHarness harness(files.setup());
  harness.run(files.fileServer->start());
  harness.start();

  auto client = harness.connect();
  const std::optional<Json> hello = harness.next(*client);
  ASSERT_TRUE(hello);
  EXPECT_EQ((*hello)["filePort"], files.fileServer->listeningPort());
  EXPECT_EQ((*hello)["capabilities"], (Json{"fileDownloadV1", "fileTransferV2"}));
  const std::string sessionID = (*hello)["fileSessionID"].get<std::string>();
  ASSERT_TRUE(Uuid::parse(sessionID));
  EXPECT_EQ(Uuid::parse(sessionID)->text(), sessionID) << "lowercase";

  // A picker request reaches the coordinator (a panel opens) and is not a command.
  client->sendJSONLine({{"type", "filePickerRequest"}});
  ASSERT_TRUE(harness.waitFor([&] { return files.panels->panels.size() == 1; }));
  EXPECT_TRUE(harness.messagesContaining("filePickerRequest").empty());

  // The file channel of another session changes nothing; this session's loss fails its work towards the client.
  harness.run(harness.server->fileChannelLost(Uuid::random().text()));
  EXPECT_FALSE(files.panels->last()->cancelled);
  harness.run(harness.server->fileChannelLost(sessionID));
  const std::optional<Json> error = nextOfType(harness, *client, "fileError");
  ASSERT_TRUE(error) << "the coordinator's message comes through the client's control sink";
  EXPECT_EQ((*error)["code"], "channelUnavailable");
  EXPECT_TRUE(files.panels->panels[0]->cancelled);

  // The client goes away with a picker open: its work ends silently.
  client->sendJSONLine({{"type", "filePickerRequest"}});
  ASSERT_TRUE(harness.waitFor([&] { return files.panels->panels.size() == 2; }));
  client->close();
  EXPECT_TRUE(harness.waitFor([&] { return files.panels->panels[1]->cancelled; }));

  // Without a ready file-channel server the hello has no file keys at all.
  harness.run(files.fileServer->stop());
  auto later = harness.connect();
  const std::optional<Json> plainHello = harness.next(*later);
  ASSERT_TRUE(plainHello);
  EXPECT_FALSE(plainHello->contains("filePort") || plainHello->contains("fileSessionID") ||
               plainHello->contains("capabilities"))
      << plainHello->dump();
}

TEST(ControlServerFileTransfer, DownloadReceiptsPaceTheSenderWithoutTheMainThread) {
  FileCollaborators files;
  ControlServerHarness harness(files.setup());
  harness.run(files.fileServer->start());
  harness.start();
  auto client = harness.connect();
  const std::optional<Json> hello = harness.next(*client);
  ASSERT_TRUE(hello);
  auto fileChannel = harness.run(LocalTestClient::connect(files.fileServer->listeningPort(),
                                                          LocalTransportChannel::file, files.fileAccountKey, {}));
  fileChannel->sendJSONLine({{"type", "bindFileChannel"}, {"sessionID", (*hello)["fileSessionID"]}});

  testing::TempFolder folder;
  const Bytes content = testing::randomBytes(6 * maximumChunkPayloadSize + 5);
  testing::writeFile(folder / "f.bin", content);
  client->sendJSONLine({{"type", "filePickerRequest"}});
  ASSERT_TRUE(harness.waitFor([&] { return files.panels->panels.size() == 1; }));
  files.panels->last()->choose(folder / "f.bin");
  const std::optional<Json> offer = nextOfType(harness, *client, "fileOffer");
  ASSERT_TRUE(offer);
  const std::string id = (*offer)["transferID"].get<std::string>();
  client->sendJSONLine({{"type", "fileAccept"}, {"transferID", id}});

  // The main loop turns until the first frame has come (the sender is started there), then stands still: every
  // later frame comes only through receipts that reach the sender without it.
  Bytes received;
  std::optional<Bytes> record = harness.run(fileChannel->nextRecord(5s));
  while (record) {
    const RemoteFileChunk chunk = decodeChunkFrame(*record);
    ASSERT_EQ(chunk.offset, received.size());
    received.insert(received.end(), chunk.payload.begin(), chunk.payload.end());
    client->sendJSONLine({{"type", "fileStatus"}, {"status", "received"}, {"transferID", id},
                          {"offset", received.size()}});
    if (received.size() == content.size()) break;
    record = testing::runBlocking(fileChannel->nextRecord(5s));
  }
  ASSERT_EQ(received.size(), content.size()) << "the download stalled without the main thread";
  EXPECT_TRUE(received == content);

  const std::optional<Json> complete = nextOfType(harness, *client, "fileComplete");
  ASSERT_TRUE(complete);
  EXPECT_EQ((*complete)["size"], content.size());
  EXPECT_EQ((*complete)["sha256"], testing::sha256Hex(content));
}

}  // namespace
}  // namespace veltrano::test
