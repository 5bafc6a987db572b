#include <gtest/gtest.h>

#include <sys/stat.h>

#include "base/task.hpp"
#include "filetransfer/file_transfer_test_support.hpp"

using namespace veltrano;
using namespace veltrano::testing;
using namespace std::chrono_literals;
using json::Json;
namespace asio = boost::asio;
namespace fs = std::filesystem;

namespace {

const std::string uploadID = "c0ffee00-1234-4abc-8def-0123456789ab";
const std::string otherID = "c0ffee00-1234-4abc-8def-0123456789ac";

// A client as the coordinator sees it: a session key, an endpoint, and its messages through the shared routing.
// Download frames are kept and, while `confirm` is set, confirmed with a receipt as a tablet does.
class Client {
 public:
  Client(std::shared_ptr<RemoteFileTransferCoordinator> coordinator, std::string sessionID)
      : sessionID(std::move(sessionID)), coordinator_(std::move(coordinator)) {
    recorder.onFrame([state = state_, weak = std::weak_ptr(coordinator_), session = this->sessionID,
                      endpoint = std::weak_ptr(recorder.endpoint)](Bytes frame) -> asio::awaitable<bool> {
      auto chunk = decodeChunkFrame(frame);
      std::lock_guard lock(state->mutex);
      state->received.insert(state->received.end(), chunk.payload.begin(), chunk.payload.end());
      ++state->frames;
      if (state->confirm) confirmOnMain(weak, session, endpoint, chunk.transferID, chunk.offset + chunk.payload.size());
      co_return true;
    });
  }

  void send(const Json& message) { routeFileTransferMessage(*coordinator_, message, sessionID, recorder.endpoint); }
  void sendChunk(Bytes frame) {
    Task::spawn(mainExecutor(), [coordinator = coordinator_, frame = std::move(frame),
                                 session = sessionID](TaskToken) -> asio::awaitable<void> {
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
  std::optional<Json> error() const { return recorder.find("fileError"); }

  const std::string sessionID;
  RecordingClient recorder;

 private:
  struct State {
    std::mutex mutex;
    Bytes received;
    std::size_t frames = 0;
    bool confirm = true;
  };
  std::shared_ptr<RemoteFileTransferCoordinator> coordinator_;
  std::shared_ptr<State> state_ = std::make_shared<State>();
};

Json uploadError(const std::string& code, const std::string& transferID = uploadID) {
  return Json{{"type", "fileError"}, {"code", code}, {"flow", "upload"}, {"transferID", transferID}};
}

class CoordinatorTest : public ::testing::Test {
 protected:
  bool until(const std::function<bool()>& condition) { return loop.runUntil(condition, 20s); }
  // Runs the loop for a while, so that anything that would still happen, happens.
  void settle() { loop.runUntil([] { return false; }, 50ms); }

  std::string startDownload(Client& client, const fs::path& pick) {
    const auto from = client.recorder.count();
    client.send(Json{{"type", "filePickerRequest"}});
    EXPECT_FALSE(panels->last()->isSave);
    panels->last()->choose(pick);
    EXPECT_TRUE(until([&] { return client.recorder.find("fileOffer", {}, from) || client.recorder.find("fileError", {}, from); }));
    auto offer = client.recorder.find("fileOffer", {}, from);
    return offer ? json::stringMember(*offer, "transferID").value_or("") : "";
  }
  // Starts a download and waits for its first frame, unconfirmed.
  std::string startSending(Client& client, const fs::path& pick) {
    client.setConfirm(false);
    const auto id = startDownload(client, pick);
    client.send(Json{{"type", "fileAccept"}, {"transferID", id}});
    EXPECT_TRUE(until([&] { return client.frames() == 1; }));
    return id;
  }

  // Offers an upload stored as `name` in the folder; returns once it is accepted or refused.
  void startUpload(Client& client, const std::string& name, std::uint64_t size) {
    client.send(uploadOffer(uploadID, name, size));
    ASSERT_TRUE(panels->last()->isSave);
    panels->last()->choose(folder / name);
    ASSERT_TRUE(until([&] { return client.recorder.find("fileUploadAccept") || client.error(); }));
  }
  // Sends every chunk of `content` and waits for the receipt of the last byte (or an error).
  void sendUpload(Client& client, const Bytes& content) {
    for (auto& frame : chunkFrames(uploadID, content)) client.sendChunk(std::move(frame));
    ASSERT_TRUE(until([&] {
      const auto offsets = client.recorder.receiptOffsets();
      return (!offsets.empty() && offsets.back() == content.size()) || client.error();
    }));
  }

  MainLoopForTests loop;
  TempFolder folder;
  std::shared_ptr<ScriptedPanels> panels = std::make_shared<ScriptedPanels>();
  std::shared_ptr<RemoteFileTransferCoordinator> coordinator = RemoteFileTransferCoordinator::create(panels);
};

}  // namespace

TEST_F(CoordinatorTest, DownloadsWithTheMessagesInOrder) {
  for (std::size_t size : {std::size_t{0}, std::size_t{49153}}) {
    SCOPED_TRACE(size);
    const auto content = randomBytes(size, static_cast<unsigned>(size) + 1);
    const auto path = folder / ("pick-" + std::to_string(size) + ".bin");
    writeFile(path, content);
    Client client(coordinator, "session-" + std::to_string(size));
    const auto id = startDownload(client, path);
    EXPECT_EQ(panels->lastOpenOptions.prompt, "Send to Tablet");
    EXPECT_FALSE(panels->lastOpenOptions.canChooseDirectories);
    EXPECT_TRUE(coordinator->isBusy());
    client.send(Json{{"type", "fileAccept"}, {"transferID", id}});
    ASSERT_TRUE(until([&] { return client.recorder.find("fileComplete").has_value(); }));
    EXPECT_EQ(client.recorder.messages(),
              (std::vector<Json>{
                  Json{{"type", "fileStatus"}, {"status", "selecting"}},
                  Json{{"type", "filePickerDisplay"}, {"displayID", 42}},
                  Json{{"type", "fileOffer"}, {"transferID", id}, {"name", path.filename().string()}, {"size", size}},
                  Json{{"type", "fileStatus"}, {"status", "transferring"}, {"transferID", id}},
                  Json{{"type", "fileComplete"}, {"transferID", id}, {"size", size}, {"sha256", sha256Hex(content)}},
              }));
    EXPECT_EQ(client.received(), content);
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
    EXPECT_EQ(startDownload(picker, pick), "");
    EXPECT_EQ(*picker.error(), (Json{{"type", "fileError"}, {"code", "invalidSelection"}}));
    EXPECT_FALSE(coordinator->isBusy());
  }
}

TEST_F(CoordinatorTest, AcceptAndReceiptsMustMatchTheOffer) {
  writeFile(folder / "f", randomBytes(2 * 49152));
  Client client(coordinator, "s");
  client.setConfirm(false);
  const auto id = startDownload(client, folder / "f");
  client.send(Json{{"type", "fileAccept"}, {"transferID", otherID}});
  EXPECT_EQ(*client.error(), (Json{{"type", "fileError"}, {"code", "invalidTransfer"}}));

  // The same session key from another endpoint is not the same client.
  RecordingClient stranger;
  routeFileTransferMessage(*coordinator, Json{{"type", "fileAccept"}, {"transferID", id}}, "s", stranger.endpoint);
  EXPECT_EQ(stranger.types(), (std::vector<std::string>{"fileError"}));

  // Upper case names the same transfer; receipts from the stranger, with the upload flow or a text offset do not
  // move the sender.
  client.send(Json{{"type", "fileAccept"}, {"transferID", upperCase(id)}});
  ASSERT_TRUE(until([&] { return client.frames() == 1; }));
  routeFileTransferMessage(*coordinator, downloadReceipt(id, 49152), "s", stranger.endpoint);
  auto uploadFlow = downloadReceipt(id, 49152);
  uploadFlow["flow"] = "upload";
  client.send(uploadFlow);
  client.send(Json{{"type", "fileStatus"}, {"status", "received"}, {"transferID", id}, {"offset", "49152"}});
  settle();
  EXPECT_EQ(client.frames(), 1u);
  client.send(downloadReceipt(upperCase(id), 49152));
  ASSERT_TRUE(until([&] { return client.frames() == 2; }));
  client.send(downloadReceipt(id, 2 * 49152));
  ASSERT_TRUE(until([&] { return client.recorder.find("fileComplete").has_value(); }));
}

TEST_F(CoordinatorTest, OneFileOperationAtATimeAcrossClients) {
  Client a(coordinator, "a");
  Client b(coordinator, "b");
  a.send(uploadOffer(uploadID, "x.txt", 3));
  ASSERT_EQ(panels->panels.size(), 1u);
  EXPECT_EQ(panels->last()->presetName, "x.txt");
  EXPECT_EQ(a.recorder.messages()[0],
            (Json{{"type", "fileStatus"}, {"flow", "upload"}, {"status", "selectingDestination"}, {"transferID", uploadID}}));
  const Json busy{{"type", "fileError"}, {"code", "busy"}};
  b.send(Json{{"type", "filePickerRequest"}});
  EXPECT_EQ(b.recorder.messages(), std::vector<Json>{busy});
  b.send(uploadOffer(otherID, "y", 1));
  EXPECT_EQ(b.recorder.messages()[1], uploadError("busy", otherID));
  EXPECT_EQ(panels->panels.size(), 1u);  // no panel opened for a refused request
  settle();
  EXPECT_EQ(*a.recorder.find("filePickerDisplay"), (Json{{"type", "filePickerDisplay"}, {"flow", "upload"}, {"displayID", 42}}));

  // During the upload, and during an offered download, every further request is refused.
  panels->last()->choose(folder / "x.txt");
  ASSERT_TRUE(until([&] { return a.recorder.find("fileUploadAccept").has_value(); }));
  a.send(uploadOffer(otherID, "z", 1));
  EXPECT_EQ(a.recorder.messages().back(), uploadError("busy", otherID));
  const Bytes content{1, 2, 3};
  sendUpload(a, content);
  a.send(uploadComplete(uploadID, 3, sha256Hex(content)));
  ASSERT_TRUE(until([&] { return a.recorder.find("fileUploadStored").has_value(); }));

  writeFile(folder / "d", randomBytes(10));
  const auto id = startDownload(b, folder / "d");
  b.send(Json{{"type", "filePickerRequest"}});
  EXPECT_EQ(b.recorder.messages().back(), busy);
  b.send(Json{{"type", "fileAccept"}, {"transferID", id}});  // the offer is still valid
  ASSERT_TRUE(until([&] { return b.recorder.find("fileComplete").has_value(); }));
  EXPECT_FALSE(coordinator->isBusy());
}

TEST_F(CoordinatorTest, UploadStoresTheFileThroughAVisiblePartialFile) {
  Client client(coordinator, "s");
  const auto content = randomBytes(3 * 49152 + 17);
  startUpload(client, "photo.jpg", content.size());
  EXPECT_EQ(*client.recorder.find("fileUploadAccept"),
            (Json{{"type", "fileUploadAccept"}, {"flow", "upload"}, {"transferID", uploadID}}));
  EXPECT_EQ(folder.hiddenNames(), std::vector<std::string>{".veltrano-" + uploadID + ".download"});
  sendUpload(client, content);
  EXPECT_EQ(folder.hiddenNames().size(), 1u);
  EXPECT_FALSE(fs::exists(folder / "photo.jpg"));
  EXPECT_EQ(client.recorder.receiptOffsets(), (std::vector<std::uint64_t>{49152, 98304, 147456, 147473}));
  EXPECT_EQ(client.recorder.messages().back(),
            (Json{{"type", "fileStatus"}, {"flow", "upload"}, {"status", "received"}, {"transferID", uploadID},
                  {"offset", 147473}}));

  // Malformed completions are refused, echoing the identifier as sent; the upload stays open.
  const auto upperSha = upperCase(sha256Hex(content));
  client.send(uploadComplete(uploadID, content.size(), upperSha.substr(0, 63)));
  EXPECT_EQ(client.recorder.messages().back(), uploadError("invalidCompletion"));
  client.send(uploadComplete(upperCase(uploadID), content.size(), upperSha.substr(0, 63) + "g"));
  EXPECT_EQ(client.recorder.messages().back(), uploadError("invalidCompletion", upperCase(uploadID)));
  client.send(uploadComplete(uploadID, content.size(), upperSha));
  ASSERT_TRUE(until([&] { return client.recorder.find("fileUploadStored").has_value(); }));
  EXPECT_EQ(*client.recorder.find("fileUploadStored"),
            (Json{{"type", "fileUploadStored"}, {"flow", "upload"}, {"transferID", uploadID}, {"size", content.size()},
                  {"sha256", sha256Hex(content)}}));
  EXPECT_EQ(readFile(folder / "photo.jpg"), content);
  EXPECT_TRUE(folder.hiddenNames().empty());
  EXPECT_FALSE(coordinator->isBusy());
}

TEST_F(CoordinatorTest, UploadFailuresReachTheClientAndLeaveNothingBehind) {
  {
    Client client(coordinator, "offer");
    client.send(uploadOffer(uploadID, "../x", 1));
    client.send(uploadOffer(uploadID, "/", 1));
    client.send(Json{{"type", "fileUploadOffer"}, {"flow", "upload"}, {"transferID", uploadID}, {"name", "x"}, {"size", -1}});
    client.send(Json{{"type", "fileUploadOffer"}, {"transferID", uploadID}, {"name", "x"}, {"size", 1}});  // no flow
    EXPECT_EQ(client.recorder.messages(),
              std::vector<Json>(3, Json{{"type", "fileError"}, {"code", "invalidOffer"}, {"flow", "upload"}}));
    EXPECT_TRUE(panels->panels.empty());
  }
  {
    Client client(coordinator, "dismissed");
    client.send(uploadOffer(uploadID, "x", 1));
    panels->last()->dismiss();
    ASSERT_TRUE(until([&] { return client.recorder.find("fileCancel").has_value(); }));
    EXPECT_EQ(*client.recorder.find("fileCancel"),
              (Json{{"type", "fileCancel"}, {"flow", "upload"}, {"transferID", uploadID}, {"reason", "selectionCancelled"}}));
  }
  const Bytes original = randomBytes(7, 3);
  const Bytes four{1, 2, 3, 4};
  const auto keepOriginal = [&](const fs::path& path) { writeFile(path, original); };
  struct Case {
    std::string name;
    std::uint64_t size;
    std::function<void(const fs::path&)> prepare;
    std::function<void(Client&, const fs::path&)> act;
    std::string code;
  };
  const std::vector<Case> cases = {
      {"folder", 1, [](const fs::path& path) { fs::create_directory(path); }, {}, "invalidDestination"},
      {"huge", std::uint64_t{1} << 60, {}, {}, "storageUnavailable"},
      {"gap", 10, {}, [](Client& c, const fs::path&) { c.sendChunk(encodeChunkFrame(uploadID, 5, Bytes{1})); },
       "invalidData"},
      {"garbage", 10, {}, [](Client& c, const fs::path&) { c.sendChunk(Bytes{'n', 'o', 'p', 'e'}); }, "invalidData"},
      {"integrity", 4, keepOriginal,
       [&](Client& c, const fs::path&) {
         sendUpload(c, four);
         c.send(uploadComplete(uploadID, 4, sha256Hex(Bytes{1, 2, 3, 5})));
       },
       "integrityFailed"},
      {"short", 4, keepOriginal,
       [&](Client& c, const fs::path&) {
         sendUpload(c, Bytes{1, 2, 3});
         c.send(uploadComplete(uploadID, 3, sha256Hex(Bytes{1, 2, 3})));
       },
       "invalidCompletion"},
      {"changed", 4, {},
       [&](Client& c, const fs::path& destination) {
         sendUpload(c, four);
         writeFile(destination, Bytes{9});  // someone else created the file meanwhile
         c.send(uploadComplete(uploadID, 4, sha256Hex(four)));
       },
       "destinationChanged"},
  };
  for (const auto& test : cases) {
    SCOPED_TRACE(test.name);
    const auto destination = folder / test.name;
    if (test.prepare) test.prepare(destination);
    Client client(coordinator, test.name);
    startUpload(client, test.name, test.size);
    if (test.act) test.act(client, destination);
    ASSERT_TRUE(until([&] { return client.error().has_value(); }));
    EXPECT_EQ(*client.error(), uploadError(test.code));
    EXPECT_FALSE(coordinator->isBusy());
    EXPECT_TRUE(folder.hiddenNames().empty());
  }
  EXPECT_EQ(readFile(folder / "integrity"), original);
  EXPECT_EQ(readFile(folder / "short"), original);
  EXPECT_EQ(readFile(folder / "changed"), Bytes{9});
}

TEST_F(CoordinatorTest, NothingIsConfirmedAfterARefusedFrame) {
  Client client(coordinator, "s");
  startUpload(client, "r", 10);
  // Handed in from another thread while the main loop stands still: the refusal alone ends the receipts.
  runBlocking(coordinator->handleIncomingChunk(Bytes{'n', 'o'}, "s"));
  runBlocking(coordinator->handleIncomingChunk(encodeChunkFrame(uploadID, 0, Bytes{1}), "s"));
  EXPECT_TRUE(client.recorder.receiptOffsets().empty());
  ASSERT_TRUE(until([&] { return client.error().has_value(); }));
  EXPECT_EQ(*client.error(), uploadError("invalidData"));
  EXPECT_TRUE(folder.hiddenNames().empty());
  EXPECT_FALSE(coordinator->isBusy());
}

TEST_F(CoordinatorTest, DownloadErrorsFromTheSource) {
  const std::vector<std::pair<std::string, std::function<void(const fs::path&)>>> changes = {
      {"sourceChanged", [](const fs::path& path) { writeFile(path, randomBytes(200)); }},
      {"readFailed", [](const fs::path& path) { fs::remove(path); }},
  };
  for (const auto& [code, change] : changes) {
    SCOPED_TRACE(code);
    Client client(coordinator, code);
    writeFile(folder / code, randomBytes(100));
    const auto id = startSending(client, folder / code);
    change(folder / code);
    client.send(downloadReceipt(id, 100));
    ASSERT_TRUE(until([&] { return client.error().has_value(); }));
    EXPECT_EQ(*client.error(), (Json{{"type", "fileError"}, {"code", code}, {"transferID", id}}));
  }
  EXPECT_FALSE(coordinator->isBusy());
}

TEST_F(CoordinatorTest, CancelMidTransferInEachDirection) {
  {
    Client client(coordinator, "down");
    writeFile(folder / "big", randomBytes(500000));
    const auto id = startSending(client, folder / "big");
    client.send(Json{{"type", "fileCancel"}, {"transferID", otherID}});  // another transfer: nothing happens
    EXPECT_TRUE(coordinator->isBusy());
    const auto before = client.recorder.count();
    client.send(Json{{"type", "fileCancel"}, {"transferID", id}});
    EXPECT_FALSE(coordinator->isBusy());
    client.send(downloadReceipt(id, 49152));
    settle();
    EXPECT_EQ(client.frames(), 1u);  // the sender stopped
    EXPECT_EQ(client.recorder.count(), before);  // and nothing was sent
  }
  {
    Client client(coordinator, "up");
    const auto original = randomBytes(1000, 11);
    writeFile(folder / "existing.doc", original);
    const auto content = randomBytes(100000, 12);
    startUpload(client, "existing.doc", content.size());
    sendUpload(client, Bytes(content.begin(), content.begin() + 49152));
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
    EXPECT_EQ(readFile(folder / "existing.doc"), original);
  }
}

// Transfers losing their channel: the loopback channel-loss test.
TEST_F(CoordinatorTest, LostChannelsWithAPanelOpenAndGoneClients) {
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
    a.send(uploadOffer(uploadID, "x", 1));
    const auto before = a.recorder.count();
    coordinator->cancelAllTransfers();
    EXPECT_TRUE(panels->last()->cancelled);
    settle();
    EXPECT_EQ(a.recorder.count(), before);
    EXPECT_FALSE(coordinator->isBusy());
  }
  {
    Client client(coordinator, "gone");
    startUpload(client, "g", 10);
    const auto before = client.recorder.count();
    coordinator->cancelTransfers("gone");
    ASSERT_TRUE(until([&] { return folder.hiddenNames().empty(); }));
    client.sendChunk(encodeChunkFrame(uploadID, 0, Bytes{1}));
    settle();
    EXPECT_EQ(client.recorder.count(), before);
  }
}
