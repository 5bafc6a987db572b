// The control server with its file collaborators: each client's file session in the hello, file-transfer
// messages routed to the coordinator, its control sink, and the session's end with the client.
#include "base/uuid.hpp"
#include "control_server_test_support.hpp"

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

}  // namespace
}  // namespace veltrano::test
