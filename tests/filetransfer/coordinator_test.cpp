#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>

#include "base/task.hpp"
#include "filetransfer/file_transfer_message_routing.hpp"
#include "filetransfer/remote_file_chunk.hpp"
#include "filetransfer/remote_file_transfer_coordinator.hpp"
#include "filetransfer/file_transfer_test_support.hpp"

using namespace veltrano;
using namespace veltrano::testing;
using namespace std::chrono_literals;
using json::Json;
namespace asio = boost::asio;
namespace fs = std::filesystem;

namespace {

// A client as the coordinator sees it: a session key, an endpoint, and the messages it sends through the shared
// routing. Download frames are stored and confirmed with a receipt, as a tablet does.
class Client {
 public:
  Client(std::shared_ptr<RemoteFileTransferCoordinator> coordinator, std::string sessionID)
      : coordinator_(std::move(coordinator)), sessionID(std::move(sessionID)) {
    auto state = state_;
    auto weakCoordinator = std::weak_ptr(coordinator_);
    auto session = this->sessionID;
    auto weakEndpoint = std::weak_ptr(recorder.endpoint);
    recorder.onFrame([state, weakCoordinator, session, weakEndpoint](Bytes frame) -> asio::awaitable<bool> {
      auto chunk = decodeChunkFrame(frame);
      bool confirm;
      {
        std::lock_guard lock(state->mutex);
        if (state->refuseFrames) co_return false;
        state->received.insert(state->received.end(), chunk.payload.begin(), chunk.payload.end());
        ++state->frames;
        confirm = state->confirm;
      }
      if (confirm) {
        const auto end = chunk.offset + chunk.payload.size();
        postToMain([weakCoordinator, session, weakEndpoint, id = chunk.transferID, end] {
          auto coordinator = weakCoordinator.lock();
          auto endpoint = weakEndpoint.lock();
          if (!coordinator || !endpoint) return;
          routeFileTransferMessage(*coordinator,
                                   Json{{"type", "fileStatus"}, {"status", "received"}, {"transferID", id}, {"offset", end}},
                                   session, endpoint);
        });
      }
      co_return true;
    });
  }

  void send(const Json& message) { routeFileTransferMessage(*coordinator_, message, sessionID, recorder.endpoint); }
  void sendChunk(Bytes frame) {
    Task::spawn(mainExecutor(), [coordinator = coordinator_, frame = std::move(frame), session = sessionID](
                                    TaskToken) -> asio::awaitable<void> {
      co_await coordinator->handleIncomingChunk(frame, session);
    });
  }
  Bytes received() const {
    std::lock_guard lock(state_->mutex);
    return state_->received;
  }
  std::size_t frames() const {
    std::lock_guard lock(state_->mutex);
    return state_->frames;
  }
  void setConfirm(bool confirm) {
    std::lock_guard lock(state_->mutex);
    state_->confirm = confirm;
  }

  RecordingClient recorder;

 private:
  struct State {
    std::mutex mutex;
    Bytes received;
    std::size_t frames = 0;
    bool confirm = true;
    bool refuseFrames = false;
  };
  std::shared_ptr<RemoteFileTransferCoordinator> coordinator_;
  std::shared_ptr<State> state_ = std::make_shared<State>();

 public:
  const std::string sessionID;
};

class CoordinatorTest : public ::testing::Test {
 protected:
  bool until(const std::function<bool()>& condition, std::chrono::milliseconds timeout = 20s) {
    return loop.runUntil(condition, timeout);
  }
  // Runs the loop for a while so that anything that would still happen, happens.
  void settle() { loop.runUntil([] { return false; }, 50ms); }

  std::string startDownload(Client& client, const fs::path& pick) {
    client.send(Json{{"type", "filePickerRequest"}});
    auto panel = panels->last();
    EXPECT_TRUE(panel && !panel->isSave);
    panel->choose(pick);
    EXPECT_TRUE(until([&] { return client.recorder.find("fileOffer").has_value(); }));
    return json::stringMember(*client.recorder.find("fileOffer"), "transferID").value_or("");
  }

  // Offers an upload and picks its destination; returns once "fileUploadAccept" or a "fileError" arrived.
  void startUpload(Client& client, const std::string& transferID, const std::string& name, std::uint64_t size,
                   const fs::path& destination) {
    client.send(Json{{"type", "fileUploadOffer"}, {"flow", "upload"}, {"transferID", transferID}, {"name", name},
                     {"size", size}});
    auto panel = panels->last();
    ASSERT_TRUE(panel && panel->isSave);
    panel->choose(destination);
    ASSERT_TRUE(until([&] {
      return client.recorder.find("fileUploadAccept").has_value() || client.recorder.find("fileError").has_value();
    }));
  }

  void sendUpload(Client& client, const std::string& transferID, const Bytes& content) {
    for (std::size_t offset = 0; offset < content.size(); offset += maximumChunkPayloadSize) {
      const auto length = std::min(maximumChunkPayloadSize, content.size() - offset);
      client.sendChunk(encodeChunkFrame(transferID, offset, ByteView(content).subspan(offset, length)));
    }
    if (content.empty()) return;
    ASSERT_TRUE(until([&] {
      for (const auto& m : client.recorder.messages()) {
        if (json::stringMember(m, "status") == "received" && json::uintMember(m, "offset") == content.size()) return true;
      }
      return client.recorder.find("fileError").has_value();
    }));
  }

  MainLoopForTests loop;
  TempFolder folder;
  std::shared_ptr<ScriptedPanels> panels = std::make_shared<ScriptedPanels>();
  std::shared_ptr<RemoteFileTransferCoordinator> coordinator = RemoteFileTransferCoordinator::create(panels);
};

const std::string uploadID = "c0ffee00-1234-4abc-8def-0123456789ab";
const std::string otherID = "c0ffee00-1234-4abc-8def-0123456789ac";

}  // namespace

TEST_F(CoordinatorTest, DownloadsEverySizeWithTheMessagesInOrder) {
  for (std::size_t size : {std::size_t{0}, std::size_t{1}, std::size_t{49152}, std::size_t{49153},
                           std::size_t{10 * 1024 * 1024}}) {
    SCOPED_TRACE(size);
    const auto content = randomBytes(size, static_cast<unsigned>(size) + 1);
    const auto path = folder / ("pick-" + std::to_string(size) + ".bin");
    writeFile(path, content);
    Client client(coordinator, "session-" + std::to_string(size));
    const auto id = startDownload(client, path);
    EXPECT_EQ(panels->lastOpenOptions.prompt, "Send to Tablet");
    EXPECT_FALSE(panels->lastOpenOptions.canChooseDirectories);
    auto offer = *client.recorder.find("fileOffer");
    EXPECT_EQ(offer, (Json{{"type", "fileOffer"}, {"transferID", id}, {"name", path.filename().string()}, {"size", size}}));
    EXPECT_TRUE(coordinator->isBusy());

    client.send(Json{{"type", "fileAccept"}, {"transferID", id}});
    ASSERT_TRUE(until([&] { return client.recorder.find("fileComplete").has_value(); }));
    EXPECT_EQ(*client.recorder.find("fileComplete"),
              (Json{{"type", "fileComplete"}, {"transferID", id}, {"size", size}, {"sha256", sha256Hex(content)}}));
    EXPECT_EQ(client.received(), content);
    EXPECT_EQ(client.recorder.types(), (std::vector<std::string>{"fileStatus", "filePickerDisplay", "fileOffer",
                                                                 "fileStatus", "fileComplete"}));
    EXPECT_EQ(client.recorder.messages()[0], (Json{{"type", "fileStatus"}, {"status", "selecting"}}));
    EXPECT_EQ(client.recorder.messages()[1], (Json{{"type", "filePickerDisplay"}, {"displayID", 42}}));
    EXPECT_EQ(client.recorder.messages()[3], (Json{{"type", "fileStatus"}, {"status", "transferring"}, {"transferID", id}}));
    EXPECT_FALSE(coordinator->isBusy());
  }
}

TEST_F(CoordinatorTest, DownloadSelectionEndsWithoutAFile) {
  Client client(coordinator, "s");
  client.send(Json{{"type", "filePickerRequest"}});
  panels->last()->dismiss();
  ASSERT_TRUE(until([&] { return client.recorder.find("fileCancel").has_value(); }));
  EXPECT_EQ(*client.recorder.find("fileCancel"), (Json{{"type", "fileCancel"}, {"reason", "selectionCancelled"}}));
  EXPECT_FALSE(coordinator->isBusy());

  // The client cancels while the panel is open: the panel closes and nothing is sent.
  const auto before = client.recorder.count();
  client.send(Json{{"type", "filePickerRequest"}});
  client.send(Json{{"type", "fileCancel"}});
  EXPECT_TRUE(panels->last()->cancelled);
  settle();
  EXPECT_EQ(client.recorder.count(), before + 1);  // only "selecting"
  EXPECT_FALSE(coordinator->isBusy());

  // Unusable picks: a link, a pipe, a folder.
  writeFile(folder / "real", randomBytes(3));
  fs::create_symlink(folder / "real", folder / "link");
  ASSERT_EQ(::mkfifo((folder / "pipe").c_str(), 0600), 0);
  fs::create_directory(folder / "dir");
  for (const auto& pick : {folder / "link", folder / "pipe", folder / "dir"}) {
    Client picker(coordinator, "p");
    picker.send(Json{{"type", "filePickerRequest"}});
    panels->last()->choose(pick);
    ASSERT_TRUE(until([&] { return picker.recorder.find("fileError").has_value(); }));
    EXPECT_EQ(*picker.recorder.find("fileError"), (Json{{"type", "fileError"}, {"code", "invalidSelection"}}));
    EXPECT_FALSE(coordinator->isBusy());
  }
}

TEST_F(CoordinatorTest, AcceptAndReceiptsMustMatchTheOffer) {
  writeFile(folder / "f", randomBytes(2 * 49152));
  Client client(coordinator, "s");
  const auto id = startDownload(client, folder / "f");
  client.send(Json{{"type", "fileAccept"}, {"transferID", otherID}});
  EXPECT_EQ(*client.recorder.find("fileError"), (Json{{"type", "fileError"}, {"code", "invalidTransfer"}}));

  // The same session key from another endpoint is not the same client.
  RecordingClient stranger;
  routeFileTransferMessage(*coordinator, Json{{"type", "fileAccept"}, {"transferID", id}}, "s", stranger.endpoint);
  EXPECT_EQ(stranger.types(), (std::vector<std::string>{"fileError"}));

  // Upper case names the same transfer; receipts from the stranger do not move the sender.
  client.setConfirm(false);
  std::string upper = id;
  std::transform(upper.begin(), upper.end(), upper.begin(), ::toupper);
  client.send(Json{{"type", "fileAccept"}, {"transferID", upper}});
  ASSERT_TRUE(until([&] { return client.frames() == 1; }));
  routeFileTransferMessage(*coordinator,
                           Json{{"type", "fileStatus"}, {"status", "received"}, {"transferID", id}, {"offset", 49152}},
                           "s", stranger.endpoint);
  // Wrong flow or a text offset: ignored by the routing.
  client.send(Json{{"type", "fileStatus"}, {"flow", "upload"}, {"status", "received"}, {"transferID", id}, {"offset", 49152}});
  client.send(Json{{"type", "fileStatus"}, {"status", "received"}, {"transferID", id}, {"offset", "49152"}});
  settle();
  EXPECT_EQ(client.frames(), 1u);
  client.send(Json{{"type", "fileStatus"}, {"status", "received"}, {"transferID", upper}, {"offset", 49152}});
  ASSERT_TRUE(until([&] { return client.frames() == 2; }));
  client.send(Json{{"type", "fileStatus"}, {"status", "received"}, {"transferID", id}, {"offset", 2 * 49152}});
  ASSERT_TRUE(until([&] { return client.recorder.find("fileComplete").has_value(); }));
}

TEST_F(CoordinatorTest, OneFileOperationAtATimeAcrossClients) {
  Client a(coordinator, "a");
  Client b(coordinator, "b");
  a.send(Json{{"type", "fileUploadOffer"}, {"flow", "upload"}, {"transferID", uploadID}, {"name", "x.txt"}, {"size", 3}});
  ASSERT_EQ(panels->panels.size(), 1u);
  EXPECT_EQ(panels->last()->presetName, "x.txt");
  EXPECT_EQ(a.recorder.messages()[0],
            (Json{{"type", "fileStatus"}, {"flow", "upload"}, {"status", "selectingDestination"}, {"transferID", uploadID}}));
  b.send(Json{{"type", "filePickerRequest"}});
  EXPECT_EQ(b.recorder.messages(), (std::vector<Json>{Json{{"type", "fileError"}, {"code", "busy"}}}));
  b.send(Json{{"type", "fileUploadOffer"}, {"flow", "upload"}, {"transferID", otherID}, {"name", "y"}, {"size", 1}});
  EXPECT_EQ(b.recorder.messages()[1],
            (Json{{"type", "fileError"}, {"code", "busy"}, {"flow", "upload"}, {"transferID", otherID}}));
  EXPECT_EQ(panels->panels.size(), 1u);  // no panel opened for a refused request
  settle();
  EXPECT_EQ(*a.recorder.find("filePickerDisplay"), (Json{{"type", "filePickerDisplay"}, {"flow", "upload"}, {"displayID", 42}}));

  // During the upload, and during an offered download, every further request is refused.
  panels->last()->choose(folder / "x.txt");
  ASSERT_TRUE(until([&] { return a.recorder.find("fileUploadAccept").has_value(); }));
  a.send(Json{{"type", "fileUploadOffer"}, {"flow", "upload"}, {"transferID", otherID}, {"name", "z"}, {"size", 1}});
  EXPECT_EQ(a.recorder.messages().back(),
            (Json{{"type", "fileError"}, {"code", "busy"}, {"flow", "upload"}, {"transferID", otherID}}));
  const Bytes content{1, 2, 3};
  sendUpload(a, uploadID, content);
  a.send(Json{{"type", "fileComplete"}, {"flow", "upload"}, {"transferID", uploadID}, {"size", 3}, {"sha256", sha256Hex(content)}});
  ASSERT_TRUE(until([&] { return a.recorder.find("fileUploadStored").has_value(); }));

  writeFile(folder / "d", randomBytes(10));
  const auto id = startDownload(b, folder / "d");
  b.send(Json{{"type", "filePickerRequest"}});
  EXPECT_EQ(b.recorder.messages().back(), (Json{{"type", "fileError"}, {"code", "busy"}}));
  b.send(Json{{"type", "fileAccept"}, {"transferID", id}});  // the offer is still valid
  ASSERT_TRUE(until([&] { return b.recorder.find("fileComplete").has_value(); }));
  EXPECT_FALSE(coordinator->isBusy());
}

TEST_F(CoordinatorTest, UploadStoresTheFileThroughAVisiblePartialFile) {
  Client client(coordinator, "s");
  const auto content = randomBytes(3 * 49152 + 17);
  const auto destination = folder / "photo.jpg";
  startUpload(client, uploadID, "photo.jpg", content.size(), destination);
  EXPECT_EQ(*client.recorder.find("fileUploadAccept"),
            (Json{{"type", "fileUploadAccept"}, {"flow", "upload"}, {"transferID", uploadID}}));
  const auto partial = folder / (".veltrano-" + uploadID + ".download");
  EXPECT_TRUE(fs::exists(partial));
  sendUpload(client, uploadID, content);
  EXPECT_TRUE(fs::exists(partial));
  EXPECT_FALSE(fs::exists(destination));
  std::vector<std::uint64_t> offsets;
  for (const auto& m : client.recorder.messages()) {
    if (json::stringMember(m, "status") == "received") {
      EXPECT_EQ(json::stringMember(m, "flow"), "upload");
      offsets.push_back(*json::uintMember(m, "offset"));
    }
  }
  EXPECT_EQ(offsets, (std::vector<std::uint64_t>{49152, 98304, 147456, 147473}));

  std::string upperSha = sha256Hex(content);
  std::transform(upperSha.begin(), upperSha.end(), upperSha.begin(), ::toupper);
  client.send(Json{{"type", "fileComplete"}, {"flow", "upload"}, {"transferID", uploadID}, {"size", content.size()},
                   {"sha256", upperSha.substr(0, 63)}});
  EXPECT_EQ(client.recorder.messages().back(),
            (Json{{"type", "fileError"}, {"code", "invalidCompletion"}, {"flow", "upload"}, {"transferID", uploadID}}));
  std::string rawUpper = uploadID;
  std::transform(rawUpper.begin(), rawUpper.end(), rawUpper.begin(), ::toupper);
  client.send(Json{{"type", "fileComplete"}, {"flow", "upload"}, {"transferID", rawUpper}, {"size", content.size()},
                   {"sha256", upperSha.substr(0, 63) + "g"}});
  EXPECT_EQ(client.recorder.messages().back(),  // the identifier is echoed as sent
            (Json{{"type", "fileError"}, {"code", "invalidCompletion"}, {"flow", "upload"}, {"transferID", rawUpper}}));
  client.send(Json{{"type", "fileComplete"}, {"flow", "upload"}, {"transferID", uploadID}, {"size", content.size()},
                   {"sha256", upperSha}});
  ASSERT_TRUE(until([&] { return client.recorder.find("fileUploadStored").has_value(); }));
  EXPECT_EQ(*client.recorder.find("fileUploadStored"),
            (Json{{"type", "fileUploadStored"}, {"flow", "upload"}, {"transferID", uploadID}, {"size", content.size()},
                  {"sha256", sha256Hex(content)}}));
  EXPECT_EQ(readFile(destination), content);
  EXPECT_TRUE(folder.hiddenNames().empty());
  EXPECT_FALSE(coordinator->isBusy());
}

TEST_F(CoordinatorTest, UploadErrorsAClientCanProvoke) {
  const auto lastError = [](Client& client) { return client.recorder.find("fileError"); };
  {
    Client client(coordinator, "offer");
    client.send(Json{{"type", "fileUploadOffer"}, {"flow", "upload"}, {"transferID", uploadID}, {"name", "../x"}, {"size", 1}});
    client.send(Json{{"type", "fileUploadOffer"}, {"flow", "upload"}, {"transferID", uploadID}, {"name", "/"}, {"size", 1}});
    client.send(Json{{"type", "fileUploadOffer"}, {"flow", "upload"}, {"transferID", uploadID}, {"name", "x"}, {"size", -1}});
    client.send(Json{{"type", "fileUploadOffer"}, {"transferID", uploadID}, {"name", "x"}, {"size", 1}});  // no flow: ignored
    EXPECT_EQ(client.recorder.messages(),
              std::vector<Json>(3, Json{{"type", "fileError"}, {"code", "invalidOffer"}, {"flow", "upload"}}));
    EXPECT_TRUE(panels->panels.empty());
  }
  {
    Client client(coordinator, "dismissed");
    client.send(Json{{"type", "fileUploadOffer"}, {"flow", "upload"}, {"transferID", uploadID}, {"name", "x"}, {"size", 1}});
    panels->last()->dismiss();
    ASSERT_TRUE(until([&] { return client.recorder.find("fileCancel").has_value(); }));
    EXPECT_EQ(*client.recorder.find("fileCancel"),
              (Json{{"type", "fileCancel"}, {"flow", "upload"}, {"transferID", uploadID}, {"reason", "selectionCancelled"}}));
  }
  const auto expectCode = [&](Client& client, const std::string& code) {
    ASSERT_TRUE(until([&] { return lastError(client).has_value(); }));
    EXPECT_EQ(*lastError(client), (Json{{"type", "fileError"}, {"code", code}, {"flow", "upload"}, {"transferID", uploadID}}));
    EXPECT_FALSE(coordinator->isBusy());
    EXPECT_TRUE(folder.hiddenNames().empty());
  };
  {
    Client client(coordinator, "folder");
    fs::create_directory(folder / "adir");
    startUpload(client, uploadID, "adir", 1, folder / "adir");
    expectCode(client, "invalidDestination");
  }
  {
    Client client(coordinator, "huge");
    startUpload(client, uploadID, "huge", std::uint64_t{1} << 60, folder / "huge");
    expectCode(client, "storageUnavailable");
  }
  {
    Client client(coordinator, "data");
    startUpload(client, uploadID, "data", 10, folder / "data");
    client.sendChunk(encodeChunkFrame(uploadID, 5, Bytes{1}));  // out of order
    expectCode(client, "invalidData");
  }
  {
    Client client(coordinator, "garbage");
    startUpload(client, uploadID, "garbage", 10, folder / "garbage");
    client.sendChunk(Bytes{'n', 'o', 'p', 'e'});
    expectCode(client, "invalidData");
  }
  {
    Client client(coordinator, "integrity");
    writeFile(folder / "integrity", randomBytes(7, 3));
    startUpload(client, uploadID, "integrity", 4, folder / "integrity");
    sendUpload(client, uploadID, Bytes{1, 2, 3, 4});
    client.send(Json{{"type", "fileComplete"}, {"flow", "upload"}, {"transferID", uploadID}, {"size", 4},
                     {"sha256", sha256Hex(Bytes{1, 2, 3, 5})}});
    expectCode(client, "integrityFailed");
    EXPECT_EQ(readFile(folder / "integrity"), randomBytes(7, 3));
  }
  {
    Client client(coordinator, "short");
    writeFile(folder / "short", randomBytes(7, 3));
    startUpload(client, uploadID, "short", 4, folder / "short");
    sendUpload(client, uploadID, Bytes{1, 2, 3});
    client.send(Json{{"type", "fileComplete"}, {"flow", "upload"}, {"transferID", uploadID}, {"size", 3},
                     {"sha256", sha256Hex(Bytes{1, 2, 3})}});
    expectCode(client, "invalidCompletion");
    EXPECT_EQ(readFile(folder / "short"), randomBytes(7, 3));
  }
  {
    Client client(coordinator, "changed");
    startUpload(client, uploadID, "changed", 4, folder / "changed");
    sendUpload(client, uploadID, Bytes{1, 2, 3, 4});
    writeFile(folder / "changed", Bytes{9});  // someone else created the file meanwhile
    client.send(Json{{"type", "fileComplete"}, {"flow", "upload"}, {"transferID", uploadID}, {"size", 4},
                     {"sha256", sha256Hex(Bytes{1, 2, 3, 4})}});
    expectCode(client, "destinationChanged");
    EXPECT_EQ(readFile(folder / "changed"), Bytes{9});
  }
}

TEST_F(CoordinatorTest, DownloadErrorsFromTheSource) {
  {
    Client client(coordinator, "changed");
    writeFile(folder / "grow", randomBytes(100));
    client.setConfirm(false);
    const auto id = startDownload(client, folder / "grow");
    client.send(Json{{"type", "fileAccept"}, {"transferID", id}});
    ASSERT_TRUE(until([&] { return client.frames() == 1; }));
    writeFile(folder / "grow", randomBytes(200));
    client.send(Json{{"type", "fileStatus"}, {"status", "received"}, {"transferID", id}, {"offset", 100}});
    ASSERT_TRUE(until([&] { return client.recorder.find("fileError").has_value(); }));
    EXPECT_EQ(*client.recorder.find("fileError"), (Json{{"type", "fileError"}, {"code", "sourceChanged"}, {"transferID", id}}));
  }
  {
    Client client(coordinator, "gone");
    writeFile(folder / "gone", randomBytes(100));
    client.setConfirm(false);
    const auto id = startDownload(client, folder / "gone");
    client.send(Json{{"type", "fileAccept"}, {"transferID", id}});
    ASSERT_TRUE(until([&] { return client.frames() == 1; }));
    fs::remove(folder / "gone");
    client.send(Json{{"type", "fileStatus"}, {"status", "received"}, {"transferID", id}, {"offset", 100}});
    ASSERT_TRUE(until([&] { return client.recorder.find("fileError").has_value(); }));
    EXPECT_EQ(*client.recorder.find("fileError"), (Json{{"type", "fileError"}, {"code", "readFailed"}, {"transferID", id}}));
  }
  EXPECT_FALSE(coordinator->isBusy());
}

TEST_F(CoordinatorTest, CancelMidTransferInEachDirection) {
  {
    Client client(coordinator, "down");
    writeFile(folder / "big", randomBytes(500000));
    client.setConfirm(false);
    const auto id = startDownload(client, folder / "big");
    client.send(Json{{"type", "fileAccept"}, {"transferID", id}});
    ASSERT_TRUE(until([&] { return client.frames() == 1; }));
    client.send(Json{{"type", "fileCancel"}, {"transferID", otherID}});  // another transfer: nothing happens
    EXPECT_TRUE(coordinator->isBusy());
    const auto before = client.recorder.count();
    client.send(Json{{"type", "fileCancel"}, {"transferID", id}});
    EXPECT_FALSE(coordinator->isBusy());
    client.send(Json{{"type", "fileStatus"}, {"status", "received"}, {"transferID", id}, {"offset", 49152}});
    settle();
    EXPECT_EQ(client.frames(), 1u);  // the sender stopped
    EXPECT_EQ(client.recorder.count(), before);  // and nothing was sent
  }
  {
    Client client(coordinator, "up");
    const auto destination = folder / "existing.doc";
    const auto original = randomBytes(1000, 11);
    writeFile(destination, original);
    const auto content = randomBytes(100000, 12);
    startUpload(client, uploadID, "existing.doc", content.size(), destination);
    client.sendChunk(encodeChunkFrame(uploadID, 0, ByteView(content).subspan(0, 49152)));
    ASSERT_TRUE(until([&] { return client.recorder.find("fileStatus", "received").has_value(); }));
    EXPECT_EQ(folder.hiddenNames().size(), 1u);
    client.send(Json{{"type", "fileCancel"}, {"flow", "upload"}, {"transferID", otherID}});  // not this upload
    EXPECT_TRUE(coordinator->isBusy());
    const auto before = client.recorder.count();
    client.send(Json{{"type", "fileCancel"}, {"flow", "upload"}, {"transferID", uploadID}});
    EXPECT_FALSE(coordinator->isBusy());
    ASSERT_TRUE(until([&] { return folder.hiddenNames().empty(); }));
    client.sendChunk(encodeChunkFrame(uploadID, 49152, ByteView(content).subspan(49152, 100)));  // dropped
    settle();
    EXPECT_EQ(client.recorder.count(), before);
    EXPECT_EQ(readFile(destination), original);
  }
}

TEST_F(CoordinatorTest, LostChannelsAndGoneClients) {
  {
    Client client(coordinator, "down");
    writeFile(folder / "f", randomBytes(100000));
    client.setConfirm(false);
    const auto id = startDownload(client, folder / "f");
    client.send(Json{{"type", "fileAccept"}, {"transferID", id}});
    ASSERT_TRUE(until([&] { return client.frames() == 1; }));
    coordinator->failTransfers("down", "channelUnavailable");
    EXPECT_EQ(client.recorder.messages().back(),
              (Json{{"type", "fileError"}, {"code", "channelUnavailable"}, {"transferID", id}}));
    settle();
    EXPECT_EQ(json::stringMember(client.recorder.messages().back(), "code"), "channelUnavailable");  // no second report
  }
  {
    Client client(coordinator, "up");
    startUpload(client, uploadID, "u", 100000, folder / "u");
    client.sendChunk(encodeChunkFrame(uploadID, 0, randomBytes(49152)));
    ASSERT_TRUE(until([&] { return client.recorder.find("fileStatus", "received").has_value(); }));
    coordinator->failTransfers("up", "channelUnavailable");
    EXPECT_EQ(client.recorder.messages().back(),
              (Json{{"type", "fileError"}, {"code", "channelUnavailable"}, {"flow", "upload"}, {"transferID", uploadID}}));
    ASSERT_TRUE(until([&] { return folder.hiddenNames().empty(); }));
    EXPECT_FALSE(fs::exists(folder / "u"));
  }
  {
    Client client(coordinator, "panel");
    client.send(Json{{"type", "filePickerRequest"}});
    coordinator->failTransfers("panel", "channelUnavailable");
    EXPECT_TRUE(panels->last()->cancelled);
    EXPECT_EQ(client.recorder.messages().back(), (Json{{"type", "fileError"}, {"code", "channelUnavailable"}}));
  }
  {
    // Stopping the host with panels open closes them and says nothing.
    Client a(coordinator, "a");
    a.send(Json{{"type", "fileUploadOffer"}, {"flow", "upload"}, {"transferID", uploadID}, {"name", "x"}, {"size", 1}});
    const auto before = a.recorder.count();
    coordinator->cancelAllTransfers();
    EXPECT_TRUE(panels->last()->cancelled);
    settle();
    EXPECT_EQ(a.recorder.count(), before);
    EXPECT_FALSE(coordinator->isBusy());
  }
  {
    Client client(coordinator, "gone");
    startUpload(client, uploadID, "g", 10, folder / "g");
    const auto before = client.recorder.count();
    coordinator->cancelTransfers("gone");
    ASSERT_TRUE(until([&] { return folder.hiddenNames().empty(); }));
    client.sendChunk(encodeChunkFrame(uploadID, 0, Bytes{1}));
    settle();
    EXPECT_EQ(client.recorder.count(), before);
  }
}
